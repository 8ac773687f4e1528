#pragma once
// The sweep of window radii: for N = 20, 30, ... 150 the database precomputed for radius N is
// loaded alone, the matcher is set to radius N with step divisor 1, and the multi search runs.
// Each pass writes one console line: N, a tab, then the loader's and the search's own output
// (the average milliseconds per pattern, a tab and the success rate).

#include "evaluation/multi_search.h"
#include "matcher/feature_map.h"

#include <QList>
#include <QString>

#include <functional>

class ImageMatcher;

// 20, 30, ... 150.
QList<int> sweep_radii();

// "precomputed_databases/db3_ft1_" + N + ".ft1".
QString sweep_database_path(int radius);

struct SweepPass {
    int radius = 0;
    QString load_message; // the loader's summary, empty when the file did not open
    MultiSearch search;
};

struct SweepCallbacks {
    std::function<void(const SweepPass &)> loaded;   // after the pass's database is loaded
    std::function<void(const SweepPass &)> searched; // after the pass's search
    SearchOptions search;
};

// Empties `database` before the first pass and after every pass; leaves the matcher at
// radius 150 and step divisor 1.
void radius_sweep(ImageMatcher &matcher, QList<FeatureMap> &database,
                  const QString &directory = patterns_directory(),
                  const SweepCallbacks &callbacks = SweepCallbacks());
