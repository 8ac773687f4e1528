#pragma once
// The commands of the system, one function each, shared by the window and the command-line
// front end. A command takes its inputs as values, writes the system's console lines itself
// and returns what a front end shows: the text of the window's result line (`label_out`), when
// the command sets it, and the structured results.
//
//   Pre-process database  database_file_name, build     Open database  load
//   Search in DB          search                         Multi Search   multi_search
//   Monster Compare       radius_sweep

#include "evaluation/multi_search.h"
#include "evaluation/radius_sweep.h"
#include "maps/feature_map.h"
#include "maps/window_settings.h"
#include "search/match_candidate.h"

#include <QImage>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

namespace commands {

using Progress = std::function<void(int done, int total)>;

// The database file name for a name typed in the name dialog: the name as typed plus ".ft1".
// Writes "name is not valid" (no line end) and gives nothing when the dialog was not accepted
// or the name is empty.
std::optional<QString> database_file_name(const QString &typed, bool accepted);

struct BuildRequest {
    QString directory; // the folder of images
    QString file_name; // the database file inside precomputed_databases/, suffix included
    WindowSettings settings;
    int threads = 0; // 0: one per core
    Progress progress;
};

// Pre-process database: the builder's lines, then "Database pre-processing done\n". Settings
// that give no window step are refused before anything else. True when the file was written.
bool build(const BuildRequest &request);

struct LoadResult {
    bool opened = false;
    QList<FeatureMap> maps;
    QString label_text; // the loader's summary; empty when the file did not open
};

// Open database: the loader's lines, then "Database readed\n".
LoadResult load(const QString &path, const Progress &progress = Progress());

// One searched pattern.
struct PatternResult {
    QString file;      // the pattern's file name
    QString base_name; // its base name, which a found pattern shares with the picked map
    std::optional<MatchCandidate> best; // nothing when no window of any map fits the pattern
    bool found = false;

    QString picked_name() const { return best ? best->name : QString(); }
};

struct SearchRequest {
    QString pattern_path;
    WindowSettings settings;
    int threads = 0;
};

struct SearchResult {
    bool pattern_loaded = false; // false: "not supported image file" was written, nothing else
    QImage pattern_image;
    PatternResult pattern;
    QString found_image_path; // "database/" + picked name + "." + the pattern's suffix
    int elapsed_ms = 0;
    std::optional<QString> label_text;
};

// Search in DB: loads the pattern image ("not supported image file\n" when it does not load),
// searches it, and writes the search's lines and "search2 = " + the picked name.
SearchResult search(const SearchRequest &request, const QList<FeatureMap> &database);

struct MultiResult {
    bool refused = false; // settings that give no window step
    float rate = 0;
    std::uint32_t elapsed_ms = 0;
    QList<PatternResult> patterns;
    std::optional<QString> label_text;
};

// Multi Search in DB over the folder `directory`.
MultiResult multi_search(const WindowSettings &settings, const QList<FeatureMap> &database,
                         const QString &directory = patterns_directory(),
                         const SearchOptions &options = SearchOptions());

struct SweepPassResult {
    int radius = 0;
    MultiResult search;
};

struct SweepResult {
    QList<SweepPassResult> passes;
    QString label_text; // the success rate of the last pass
};

// Monster Compare: the sweep of the fourteen precomputed databases, one console line a pass.
SweepResult radius_sweep(const QString &directory = patterns_directory(),
                         const SearchOptions &options = SearchOptions());

} // namespace commands
