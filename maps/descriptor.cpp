#include "maps/descriptor.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <vector>

int descriptor_extent(int source_extent, int a, int step)
{
    // In 64 bits: any radius, however large, leaves no cells rather than overflowing.
    const float quotient =
        static_cast<float>(qint64(source_extent) - 2 * qint64(a)) / static_cast<float>(step);
    return static_cast<int>(std::ceil(quotient));
}

void descriptor_values_literal(const FeatureMap &source, FeatureMap &result, int a, int step,
                               const float *wx, const float *wy)
{
    if (!result.has_values()) {
        return;
    }
    const int width = source.width;
    const float *v = source.data();
    float *out = result.data();
    // The float rounding of the sizes can only make them smaller than the number of centres
    // that fit, never larger, so every window below lies inside the source.
    for (int r = 0; r < result.height; ++r) {
        const int y = a + r * step;
        for (int q = 0; q < result.width; ++q) {
            const int x = a + q * step;
            long double sxv = 0;
            long double syv = 0;
            long double sxx = 0;
            long double syy = 0;
            for (int i = a; i >= -a; --i) {
                const long double wxi = wx[std::abs(i)];
                const float *column = v + (x - i);
                for (int j = a; j >= -a; --j) {
                    const long double wyj = wy[std::abs(j)];
                    const long double value = column[qint64(y - j) * width];
                    const long double w = wyj * wxi;
                    sxv += (value * (wxi * i)) * wyj;
                    syv += (value * j) * w;
                    sxx += static_cast<long double>(static_cast<float>(i * i)) * w;
                    syy += w * static_cast<long double>(j * j);
                }
            }
            out[q + qint64(r) * result.width] = static_cast<float>(sxv / sxx + syv / syy);
        }
    }
}

namespace {

using Wide = __int128;

// Every partial sum of the literal loop is bounded by its sum of absolute terms: 255 * Bx * a^2
// for Sxv and Syv, C2 * a^2 for Sxx and Syy, with Bx = sum |i| (a - |i|) and
// C2 = sum i^2 (a - |i|). Below 2^64 they are exact in long double (64-bit mantissa).
bool sums_are_exact_for(int a)
{
    if (a < 1 || a > 4096) { // i * i must also be exact as a float
        return false;
    }
    Wide bx = 0;
    Wide c2 = 0;
    for (Wide k = 1; k <= a; ++k) {
        bx += 2 * k * (a - k);
        c2 += 2 * k * k * (a - k);
    }
    const Wide a2 = Wide(a) * a;
    const Wide limit = Wide(1) << 64;
    return 255 * bx * a2 < limit && c2 * a2 < limit;
}

bool weights_are_triangular(int a, const float *wx, const float *wy)
{
    for (int k = 0; k <= a; ++k) {
        if (wx[k] != float(a - k) || wy[k] != float(a - k)) {
            return false;
        }
    }
    return true;
}

// Running sums of one line f(0), f(1), ...: after n values, s0 = P0[n] = sum_{t<n} f(t),
// q1 = sum_{m=1..n} P0[m] and q2 = sum_{m=1..n} q1[m]. They need only additions, and give
//   P1[n] = sum_{t<n} t f(t)   = n P0[n] - q1
//   P2[n] = sum_{t<n} t^2 f(t) = 2 q2 - (n^2 + n) P0[n] + (2n + 1) P1[n].
template <typename Int> struct LinePrefix {
    Int p0 = 0, p1 = 0, p2 = 0;

    static LinePrefix at(Int n, Int s0, Int q1, Int q2)
    {
        LinePrefix prefix;
        prefix.p0 = s0;
        prefix.p1 = n * s0 - q1;
        prefix.p2 = 2 * q2 - (n * n + n) * s0 + (2 * n + 1) * prefix.p1;
        return prefix;
    }
};

// For a window centre y with half-width a, from the prefix sums at y - a, y + 1 and y + a + 1:
// T0 = sum (a - |y - t|) f(t) and T1 = sum (a - |y - t|) (y - t) f(t), t in [y - a, y + a].
template <typename Int>
void triangle_sums(const LinePrefix<Int> &lo, const LinePrefix<Int> &mid, const LinePrefix<Int> &hi,
                   Int y, Int a, Int &t0, Int &t1)
{
    const Int s0l = mid.p0 - lo.p0, s1l = mid.p1 - lo.p1, s2l = mid.p2 - lo.p2;
    const Int s0r = hi.p0 - mid.p0, s1r = hi.p1 - mid.p1, s2r = hi.p2 - mid.p2;
    // Left of y (t <= y) the weight is a - y + t, right of it (t > y) a + y - t.
    t0 = (a - y) * s0l + s1l + (a + y) * s0r - s1r;
    t1 = -s2l + (2 * y - a) * s1l + y * (a - y) * s0l + s2r - (2 * y + a) * s1r + y * (a + y) * s0r;
}

// The line positions n (prefix lengths) at which the windows of centres a, a + step, ... need
// their prefix sums: y - a, y + 1 and y + a + 1 for each centre y, in increasing order, with
// each centre's three indices into that list.
struct Stops {
    std::vector<int> positions;
    std::vector<std::array<int, 3>> of_centre;

    Stops(int a, int step, int centres)
    {
        std::vector<int> all;
        for (int k = 0; k < centres; ++k) {
            const int y = a + k * step;
            all.insert(all.end(), {y - a, y + 1, y + a + 1});
        }
        positions = all;
        std::sort(positions.begin(), positions.end());
        positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
        auto index = [&](int n) {
            return int(std::lower_bound(positions.begin(), positions.end(), n) - positions.begin());
        };
        for (int k = 0; k < centres; ++k) {
            const int y = a + k * step;
            of_centre.push_back({index(y - a), index(y + 1), index(y + a + 1)});
        }
    }
    int length() const { return positions.back(); } // values of the line any window reads
};

} // namespace

bool descriptor_sums_exact(int a)
{
    return sums_are_exact_for(a);
}

long double window_sxx(int a)
{
    Wide c2 = 0;
    for (Wide k = 1; k <= a; ++k) {
        c2 += 2 * k * k * (a - k);
    }
    return static_cast<long double>(c2 * a * a);
}

bool horizontal_sums(const FeatureMap &source, int a, int step, int columns, int used_rows,
                     HorizontalSums &sums)
{
    const int width = source.width;
    const Stops across(a, step, columns);
    // For every source row and every window column, the row's sums with the weights (a - |i|)
    // and (a - |i|) * i, stored column by column for the vertical pass. Only the values that
    // some window reads are read, and they must be grey levels.
    sums.columns = columns;
    sums.rows = used_rows;
    sums.h0.assign(static_cast<std::size_t>(columns) * used_rows, 0);
    sums.h1.assign(sums.h0.size(), 0);
    std::vector<LinePrefix<qint64>> at_stop(across.positions.size());
    bool grey_levels = true;
    for (int rho = 0; rho < used_rows; ++rho) {
        const float *line = source.data() + qint64(rho) * width;
        qint64 s0 = 0, q1 = 0, q2 = 0;
        int n = 0;
        for (std::size_t k = 0; k < across.positions.size(); ++k) {
            for (const int stop = across.positions[k]; n < stop; ++n) {
                const float value = line[n];
                const bool grey = value >= 0.0f && value <= 255.0f && value == float(int(value));
                grey_levels &= grey;
                // Anything else is not converted: the result is thrown away anyway.
                s0 += grey ? static_cast<qint64>(value) : 0;
                q1 += s0;
                q2 += q1;
            }
            at_stop[k] = LinePrefix<qint64>::at(n, s0, q1, q2);
        }
        for (int q = 0; q < columns; ++q) {
            const auto &stop = across.of_centre[static_cast<std::size_t>(q)];
            triangle_sums<qint64>(at_stop[stop[0]], at_stop[stop[1]], at_stop[stop[2]],
                                  a + qint64(q) * step, a,
                                  sums.h0[static_cast<std::size_t>(q) * used_rows + rho],
                                  sums.h1[static_cast<std::size_t>(q) * used_rows + rho]);
        }
    }
    return grey_levels;
}

bool descriptor_values_exact(const FeatureMap &source, FeatureMap &result, int a, int step,
                             const float *wx, const float *wy)
{
    if (!result.has_values()) {
        return true;
    }
    const int width = source.width;
    if (width > exact_max_side || source.height > exact_max_side || !descriptor_sums_exact(a) ||
        !weights_are_triangular(a, wx, wy)) {
        return false;
    }
    const int columns = result.width;
    const int rows = result.height;
    const Stops down(a, step, rows);
    const int used_rows = down.length();
    HorizontalSums sums;
    if (!horizontal_sums(source, a, step, columns, used_rows, sums)) {
        return false;
    }
    const std::vector<qint64> &h0 = sums.h0;
    const std::vector<qint64> &h1 = sums.h1;

    // Vertical pass: Sxv weights the columns of h1 with (a - |j|), Syv the columns of h0 with
    // (a - |j|) * j. Sxx and Syy are the same for every window.
    const long double sxx = window_sxx(a);
    const long double syy = sxx;
    std::vector<LinePrefix<Wide>> of_h1(down.positions.size());
    std::vector<LinePrefix<Wide>> of_h0(down.positions.size());
    float *out = result.data();
    for (int q = 0; q < columns; ++q) {
        const qint64 *f = h1.data() + static_cast<std::size_t>(q) * used_rows;
        const qint64 *g = h0.data() + static_cast<std::size_t>(q) * used_rows;
        Wide f0 = 0, f1 = 0, f2 = 0, g0 = 0, g1 = 0, g2 = 0;
        int n = 0;
        for (std::size_t k = 0; k < down.positions.size(); ++k) {
            for (const int stop = down.positions[k]; n < stop; ++n) {
                f0 += f[n];
                f1 += f0;
                f2 += f1;
                g0 += g[n];
                g1 += g0;
                g2 += g1;
            }
            of_h1[k] = LinePrefix<Wide>::at(n, f0, f1, f2);
            of_h0[k] = LinePrefix<Wide>::at(n, g0, g1, g2);
        }
        for (int r = 0; r < rows; ++r) {
            const auto &stop = down.of_centre[static_cast<std::size_t>(r)];
            const Wide y = a + Wide(r) * step;
            Wide sxv = 0, syv = 0, unused = 0;
            triangle_sums<Wide>(of_h1[stop[0]], of_h1[stop[1]], of_h1[stop[2]], y, a, sxv, unused);
            triangle_sums<Wide>(of_h0[stop[0]], of_h0[stop[1]], of_h0[stop[2]], y, a, unused, syv);
            const long double value =
                static_cast<long double>(sxv) / sxx + static_cast<long double>(syv) / syy;
            out[q + qint64(r) * columns] = static_cast<float>(value);
        }
    }
    return true;
}

std::vector<float> window_weights(int a)
{
    std::vector<float> weights;
    weights.reserve(static_cast<std::size_t>(std::max(a, -1)) + 1);
    for (qint64 k = 0; k <= a; ++k) {
        weights.push_back(static_cast<float>(a - k));
    }
    return weights;
}

FeatureMap descriptor_map(const FeatureMap &source, int a, int step_divisor, const float *wx,
                          const float *wy)
{
    if (!WindowSettings{a, step_divisor}.valid()) {
        return FeatureMap::allocate(0, 0, source.name);
    }
    const int step = a / step_divisor;
    FeatureMap result =
        FeatureMap::allocate(descriptor_extent(source.width, a, step),
                             descriptor_extent(source.height, a, step), source.name);
    if (!descriptor_values_exact(source, result, a, step, wx, wy)) {
        descriptor_values_literal(source, result, a, step, wx, wy);
    }
    return result;
}

FeatureMap descriptor_map(const FeatureMap &source, const WindowSettings &settings)
{
    if (!settings.valid()) {
        return FeatureMap::allocate(0, 0, source.name);
    }
    // Without cells the weights are not needed: a radius beyond the image costs nothing.
    const int step = settings.step();
    const int width = descriptor_extent(source.width, settings.radius, step);
    const int height = descriptor_extent(source.height, settings.radius, step);
    if (width <= 0 || height <= 0) {
        return FeatureMap::allocate(width, height, source.name);
    }
    const std::vector<float> weights = window_weights(settings.radius);
    return descriptor_map(source, settings.radius, settings.step_divisor, weights.data(),
                          weights.data());
}
