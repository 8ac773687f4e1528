#pragma once
// The sweep of window radii: for N = 20, 30, ... 150 the database precomputed for radius N is
// loaded alone and the multi search runs with radius N and step divisor 1. Each pass writes one
// console line: N, a tab, then the loader's and the search's own output (the average
// milliseconds per pattern, a tab and the success rate).

#include "evaluation/multi_search.h"
#include "ft1/ft1_contents.h"

#include <QList>
#include <QString>

#include <functional>

// 20, 30, ... 150.
QList<int> sweep_radii();

// "precomputed_databases/" + "db3_ft1_" + N + ".ft1".
QString sweep_database_path(int radius);

struct SweepPass {
    int radius = 0;
    QString load_message;     // the loader's summary, empty when the file did not open
    QList<Ft1Record> records; // the headers of the pass's database
    MultiSearch search;
};

struct SweepOptions {
    SearchOptions search;
    std::function<void(const SweepPass &)> pass_done; // after each pass
};

// Every pass in order; each pass's database lives only during the pass.
QList<SweepPass> radius_sweep(const QString &directory = patterns_directory(),
                              const SweepOptions &options = SweepOptions());
