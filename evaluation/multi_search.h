#pragma once
// The multi search: every image of a folder of patterns, named after its base name, searched in
// the database in one run; the success rate says how often the search picks the database image
// of the pattern's own name.

#include "maps/feature_map.h"
#include "maps/window_settings.h"
#include "search/database_search.h"

#include <QList>
#include <QSize>
#include <QString>
#include <QStringList>

// The folder of patterns, relative to the working directory.
QString patterns_directory();

struct PatternSet {
    QList<FeatureMap> maps; // grey maps, in listing order
    QStringList files;      // the file name of each map
};

// The files of `directory` (not its subfolders or hidden files), in name order ignoring case;
// files that are not images are skipped silently. Decoded on `threads` threads (0: every core).
PatternSet read_patterns(const QString &directory, int threads = 0);

struct MultiSearch {
    bool refused = false; // settings that give no window step: nothing was read or searched
    QStringList files;    // the file name of each searched pattern
    QList<QSize> sizes;   // its size in pixels
    SearchOutcome outcome;
};

struct FineMaps;

// Reads the patterns, then searches them all with the given settings (and those with few cells
// again among `fine`, see evaluation/fine_search.h). The patterns' grey maps are released when
// the search is done.
MultiSearch multi_search(const WindowSettings &settings, const QList<FeatureMap> &database,
                         const QString &directory = patterns_directory(),
                         const SearchOptions &options = SearchOptions(),
                         const FineMaps *fine = nullptr);

// "Success rate: " + the rate with six significant digits + " %".
QString success_rate_text(float rate);
