#pragma once
// The best window of a pattern over a whole database without listing the candidates: the same
// pick that pick_best_index makes on the full candidate list (the first candidate with the
// lowest score below 9999999; the first candidate when there is none), with memory bounded by
// the number of database maps.
//
// Windows are scored exactly as compare_windows scores them, but a window is dropped as soon
// as its lower bound or its running sum shows that it cannot reach the best score found so far
// (see window_bounds.h). Since only windows that cannot equal the best are dropped, the order
// in which windows are scored does not matter: eight positions are scored at once in vector
// lanes, threads share the database maps, and the result is always the sequential pick.

#include "maps/feature_map.h"
#include "search/match_candidate.h"

#include <QList>

#include <optional>

// Nothing when no window of any map fits the pattern. `threads`: 0 for one per core.
std::optional<MatchCandidate> best_window(const FeatureMap &pattern,
                                          const QList<FeatureMap> &database, int threads);
