#pragma once
// The window score of a crop whose contrast changed: the slopes of the grey levels ignore an
// offset of brightness but scale with contrast, so a brightened, darkened or gamma-corrected
// crop's cells are about g times the image's, g the same over a window. Fitted, the window scores
// sum |g * p - d| over its cells (p the pattern's, d the database map's) at the gain g that
// minimises it, a median of d / p weighted by |p|, kept within a bounded range so that a crop
// of another image cannot be stretched to fit.

#include "maps/feature_map.h"

// The gains a window may be fitted with: a crop's contrast halved or doubled at most.
constexpr double least_gain = 0.5;
constexpr double most_gain = 2;

struct GainFit {
    double gain = 1;
    double score = 0; // sum of |gain * p - d|; a cell not finite on either side counts the
                      // window score's cut-off difference whatever the gain
};

// The fit of the pattern at cell (x, y) of the database map, where it must fit wholly, with a
// gain in [low, high]; the lowest such gain that reaches the least score.
GainFit gain_fitted_score(const FeatureMap &database_map, const FeatureMap &pattern, int x, int y,
                          double low = least_gain, double high = most_gain);
