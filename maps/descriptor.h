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

// Parts of the exact path, for code that finishes window sums its own way (descriptors at every
// centre). The horizontal pass: for every source row rho < rows and every window column q
// (centre a + q * step), h0 = sum_i (a - |i|) v(x - i, rho) and h1 = sum_i (a - |i|) i
// v(x - i, rho), stored column by column at q * rows + rho. False when a value read is not a
// grey level (the sums are then meaningless). Needs descriptor_sums_exact(a) and sides of at
// most 65536.
struct HorizontalSums {
    int columns = 0;
    int rows = 0;
    std::vector<qint64> h0;
    std::vector<qint64> h1;
};
bool horizontal_sums(const FeatureMap &source, int a, int step, int columns, int rows,
                     HorizontalSums &sums);
// Sxx (= Syy) of every window of half-width a: sum over the window of i^2 (a - |i|)(a - |j|).
long double window_sxx(int a);
constexpr int exact_max_side = 65536;

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
