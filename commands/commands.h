#pragma once
// The commands of the system, one function each, shared by the window and the command-line
// front end. A command takes its inputs as values, writes the system's console lines itself
// and returns what a front end shows: the text of the window's result line (`label_out`), when
// the command sets it, and the structured results (an Answer per searched pattern).
//
//   Pre-process database  database_file_name, build     Open database  load
//   Search in DB          search                         Multi Search   multi_search
//   Monster Compare       radius_sweep

#include "evaluation/answer.h"
#include "evaluation/multi_search.h"
#include "evaluation/radius_sweep.h"
#include "ft1/database_builder.h"
#include "ft1/ft1_contents.h"
#include "maps/feature_map.h"
#include "maps/sorted_cells.h"
#include "maps/window_settings.h"

#include <QImage>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class CandidateIndex;
class CellIndex;

namespace commands {

using Progress = std::function<void(int done, int total)>;
using Warn = std::function<void(const QString &text)>;

// An in-memory database: the maps and every record's header, of the files loaded in order.
struct Database {
    QList<FeatureMap> maps;
    QList<Ft1Record> records;
    QStringList files;
    // The sorted cells of the maps, for the aligned search; made by make_index.
    std::shared_ptr<const CellIndex> index;
    // Sorted cells read with the maps (a database loaded from its binary index), which
    // make_index takes instead of sorting again.
    SortedCells loaded_cells;
    // The candidate index of the maps, for the indexed search, made by make_index, and the one
    // read with the maps.
    std::shared_ptr<const CandidateIndex> candidates;
    CandidateArrays loaded_candidates;
    // The checks of the values of maps read from a binary index, each with the number of its
    // file's first map.
    QList<QPair<int, std::shared_ptr<const ValueGuard>>> guards;

    void append(const Database &more); // the indexes must be made again
    // What the search of `mode` needs: the sorted cells (aligned, indexed) and the candidate
    // index (indexed), from the binary index when it was read, else made in memory.
    void make_index(SearchMode mode = SearchMode::aligned);
    // Checks the values of map `map` before a search first reads them; throws DamagedIndex.
    std::function<void(int map)> before_reading() const;
};

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
    bool index = false; // also write the binary index (an index already there is always remade)
    BuildSummary *summary = nullptr; // what the build read, when given
};

// Pre-process database: the builder's lines, then "Database pre-processing done\n"; then, when
// the database has a binary index or one is asked for, the index made anew. Settings
// that give no window step are refused before anything else. An index that cannot be made
// anew is removed, with a line that says so. True when the file was written.
bool build(const BuildRequest &request);

// Writes the binary index beside the database at `path`, with the line "PATH.idx: written" or
// why not.
bool write_index(const QString &path);

struct LoadResult {
    bool opened = false;
    QString error;               // why the file did not open
    bool not_a_database = false; // lines were read, none made a complete record
    qint64 problems = 0;         // malformed lines found
    Database database;           // what the file holds
    QString label_text;          // the loader's summary; empty when the file did not open
};

// Open database: the loader's lines, then "Database readed\n".
LoadResult load(const QString &path, const Progress &progress = Progress());

// A database of the same images at a smaller radius, for the indexed search's patterns with few
// cells (evaluation/fine_search.h), indexed by make_index.
struct FineDatabase {
    WindowSettings settings;
    Database database;
};

struct SearchRequest {
    QString pattern_path;
    WindowSettings settings;
    int threads = 0;
    SearchMode mode = SearchMode::literal;
    ScaleRange scales;                  // the indexed search's
    const FineDatabase *fine = nullptr; // and its maps at a smaller radius
};

struct SearchResult {
    bool pattern_loaded = false; // false: "not supported image file" was written, nothing else
    QString pattern_problem;     // why the pattern did not load
    bool searched = false;       // the database was not empty
    SearchStatus status = SearchStatus::empty_database; // of the search, once the pattern loaded
    QImage pattern_image;
    Answer answer;
    QString found_image_path; // the answer's found image (found_image_file), empty when none
    int elapsed_ms = 0;
    std::optional<QString> label_text;
};

// Search in DB: loads the pattern image ("not supported image file\n" when it does not load),
// searches it, and writes the search's lines and "search2 = " + the picked name.
SearchResult search(const SearchRequest &request, const Database &database);

struct MultiResult {
    bool refused = false;  // settings that give no window step
    bool searched = false; // the database was not empty
    float rate = 0;
    std::uint32_t elapsed_ms = 0;
    double seconds = 0; // the search's time, to the microsecond
    QList<Answer> answers;
    std::optional<QString> label_text;

    int average_ms() const;
    double ms_per_pattern() const; // to the microsecond
};

// Multi Search in DB over the folder `directory`.
MultiResult multi_search(const WindowSettings &settings, const Database &database,
                         const QString &directory = patterns_directory(),
                         const SearchOptions &options = SearchOptions(),
                         const FineDatabase *fine = nullptr);

// The base names of the patterns that no record bears, each once, in the answers' order:
// those patterns cannot count as found, whatever the search picks.
QStringList unknown_base_names(const QList<Answer> &answers, const QList<Ft1Record> &records);

// The answer's verdict can be taken as it stands (exact or found). A search does not know
// whether the image it picked is the pattern's own; a multi search does (Answer::found).
bool accepted(const Answer &answer);

struct SweepPassResult {
    int radius = 0;
    QString database_path;
    bool opened = false;
    MultiResult search;
    QStringList unknown_names; // unknown_base_names of the pass's database
};

struct SweepResult {
    QList<SweepPassResult> passes;
    QString label_text; // the success rate of the last pass
};

// Monster Compare: the sweep of the fourteen precomputed databases, one console line a pass.
// `warn` hears, right after its pass's line, of every database that does not fit its radius.
// With the aligned search (options.mode), each pass's database is indexed when loaded.
SweepResult radius_sweep(const QString &directory = patterns_directory(),
                         const SearchOptions &options = SearchOptions(), const Warn &warn = Warn());

} // namespace commands
