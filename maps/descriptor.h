#pragma once
// Descriptor maps. For a window half-width a and a step s, the descriptor map of a grey map has
// one value per window centre (x, y) = (a + q*s, a + r*s) whose window [x-a, x+a] x [y-a, y+a]
// lies inside the source. The value is the sum of the two weighted least-squares slopes of the
// grey level inside the window, against i = x - column and against j = y - row, with the weights
// wx[|i|] * wy[|j|]: Sxv / Sxx + Syv / Syy. The four sums and both quotients are formed in long
// double and rounded to float only when stored.

#include "maps/feature_map.h"
#include "maps/window_settings.h"

#include <vector>

// Number of window centres along one side: ceil((extent - 2a) / s), the quotient rounded to a
// float first. Zero or negative when the source is too small for one window.
int descriptor_extent(int source_extent, int a, int step);

// The plain loop over every sample of every window, in the order that fixes the rounding: the
// window's columns left to right (i from +a down to -a), within each its rows top to bottom
// (j from +a down to -a). `wx` and `wy` hold at least a + 1 weights each. `result` must already
// have its sizes and (when it has cells) its array.
void descriptor_values_literal(const FeatureMap &source, FeatureMap &result, int a, int step,
                               const float *wx, const float *wy);

// The same values in time independent of the window: the weights (a - |i|)(a - |j|) are
// separable and piecewise polynomial, so row and column prefix sums give every window sum in
// O(1). For grey levels (whole numbers 0..255) and the weights a - k, every sum of the literal
// loop is an integer below 2^64, which long double holds exactly whatever the order of the
// additions; the sums are formed here in 64- and 128-bit integers and the quotients in long
// double, so the values are bit for bit those of the literal loop. Returns false, computing
// nothing, where that exactness is not guaranteed (other values or weights, windows or images
// too large); the caller then uses the literal loop.
//
// The window half-widths for which the literal loop's sums stay exact: 1 to 2191.
bool descriptor_sums_exact(int a);
bool descriptor_values_exact(const FeatureMap &source, FeatureMap &result, int a, int step,
                             const float *wx, const float *wy);

// The window weights [a, a - 1, ..., 1, 0]: the weight of an offset of +k or -k.
std::vector<float> window_weights(int a);

// The descriptor map of `source` with window half-width a, step a / step_divisor and the given
// weights (at least a + 1 of each): the fast exact path where it applies, the literal loop
// elsewhere. The map carries the computed sizes and the source's name; settings that give no
// step give an empty 0 x 0 map.
FeatureMap descriptor_map(const FeatureMap &source, int a, int step_divisor, const float *wx,
                          const float *wy);

// The same with the window weights of the settings' radius.
FeatureMap descriptor_map(const FeatureMap &source, const WindowSettings &settings);
