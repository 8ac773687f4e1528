#pragma once
// The descriptor computation written out literally, for checking faster versions against it:
// every sample of every window, in the loop order that fixes the rounding, the sums in long
// double, i*i rounded to a float.

#include "maps/feature_map.h"

#include <QList>

#include <cmath>
#include <cstdlib>

namespace reference {

inline QList<float> weights(int radius)
{
    QList<float> list;
    for (int k = 0; k <= radius; ++k) {
        list.append(static_cast<float>(radius - k));
    }
    return list;
}

inline FeatureMap descriptor_map(const FeatureMap &source, int a, int step_divisor,
                                 const QList<float> &weights_x, const QList<float> &weights_y)
{
    const int s = a / step_divisor;
    const int W = source.width;
    const int H = source.height;
    const int w_out = static_cast<int>(std::ceil(static_cast<float>(W - 2 * a) / s));
    const int h_out = static_cast<int>(std::ceil(static_cast<float>(H - 2 * a) / s));
    FeatureMap result = FeatureMap::allocate(w_out, h_out, source.name);
    int r = 0;
    for (int y = a; y < H - a; y += s, ++r) {
        int q = 0;
        for (int x = a; x < W - a; x += s, ++q) {
            long double sxv = 0, syv = 0, sxx = 0, syy = 0;
            for (int i = a; i >= -a; --i) {
                const long double wx = weights_x.at(std::abs(i));
                for (int j = a; j >= -a; --j) {
                    const long double wy = weights_y.at(std::abs(j));
                    const long double v = source.values[(x - i) + (y - j) * W];
                    const long double w = wy * wx;
                    sxv += (v * (wx * i)) * wy;
                    syv += (v * j) * w;
                    sxx += static_cast<long double>(static_cast<float>(i * i)) * w;
                    syy += w * static_cast<long double>(j * j);
                }
            }
            result.values[q + r * w_out] = static_cast<float>(sxv / sxx + syv / syy);
        }
    }
    return result;
}

inline FeatureMap descriptor_map(const FeatureMap &source, int a, int step_divisor)
{
    const QList<float> w = weights(a);
    return descriptor_map(source, a, step_divisor, w, w);
}

} // namespace reference
