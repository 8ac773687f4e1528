#include "matcher/descriptor.h"

#include <cmath>
#include <cstdlib>

int descriptor_extent(int source_extent, int a, int step)
{
    const float quotient = static_cast<float>(source_extent - 2 * a) / static_cast<float>(step);
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
