#pragma once
// Scoring of window positions and the choice of the best one.
//
// A pattern map P is laid over a database map D at every offset (x, y) where it fits wholly,
// column offsets in the outer loop and row offsets in the inner one. The score of a window is
// the sum of |D - P| over its cells, visited column by column, in double precision and rounded
// to float; a cell whose difference exceeds 500 cuts the window off with the score 9999. The
// best candidate is the first one with the lowest score below 9999999; a score that is not a
// number never wins.

#include "maps/feature_map.h"
#include "search/match_candidate.h"

#include <QList>

constexpr float cut_off_difference = 500.0f;
constexpr float cut_off_score = 9999.0f;
constexpr float no_best_score = 9999999.0f;

// Score of the window at offset (x, y); the pattern must fit there. A pattern without cells
// scores 0.
float window_score(const FeatureMap &database_map, const FeatureMap &pattern, int x, int y);

// Appends one candidate per window position, in candidate order.
void compare_windows(const FeatureMap &database_map, const FeatureMap &pattern,
                     QList<MatchCandidate> &candidates);

// Index of the best candidate: the first whose score is below every earlier best, starting
// from 9999999; 0 when none is; -1 for an empty list.
int pick_best_index(const QList<MatchCandidate> &candidates);

// Name of the best candidate, or the empty string for an empty list.
QString pick_best_name(const QList<MatchCandidate> &candidates);
