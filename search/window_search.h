#pragma once
// The best window of a pattern over a whole database without listing the candidates: the same
// pick that pick_best_index makes on the full candidate list (the first candidate with the
// lowest score below 9999999; the first candidate when there is none), with memory bounded by
// the number of database maps.
//
// Windows are scored exactly as compare_windows scores them (column by column, in double, the
// cut-off at 500), but a window is dropped as soon as its running sum shows that its score
// would exceed the best score found so far: the sum only grows, and once that best is below
// 9999 not even a cut-off could beat or tie it. Since only windows that cannot equal the best
// are dropped, the order in which windows are scored does not matter: several window
// positions are scored at once in vector lanes, and threads share the database maps; the
// result is always the sequential pick.

#include "matcher/feature_map.h"

#include <QList>

struct BestWindow {
    bool exists = false; // some window of some map fits the pattern
    int map = -1;
    int x = 0;
    int y = 0;
    float score = 0;
};

BestWindow best_window(const FeatureMap &pattern, const QList<FeatureMap> &database, int threads);
