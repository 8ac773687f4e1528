#include "search/gain_fit.h"

#include "search/window_compare.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

GainFit gain_fitted_score(const FeatureMap &database_map, const FeatureMap &pattern, int x, int y,
                          double low, double high)
{
    GainFit fit;
    fit.gain = std::clamp(1.0, low, high);
    if (pattern.width <= 0 || pattern.height <= 0) {
        return fit;
    }
    // sum |g p - d| is convex in g, piecewise linear with a kink at each d / p: its slope at g is
    // the weight |p| of the ratios below g less that of those above, so the least is where half
    // the weight lies on each side.
    std::vector<std::pair<double, double>> ratios; // d / p, |p|
    ratios.reserve(std::size_t(pattern.cell_count()));
    double fixed = 0; // what no gain changes
    double weight = 0;
    for (int l = 0; l < pattern.height; ++l) {
        for (int k = 0; k < pattern.width; ++k) {
            const double d = database_map.at(x + k, y + l);
            const double p = pattern.at(k, l);
            if (!std::isfinite(d) || !std::isfinite(p)) {
                fixed += double(cut_off_difference);
            } else if (p == 0) {
                fixed += std::fabs(d);
            } else {
                ratios.emplace_back(d / p, std::fabs(p));
                weight += std::fabs(p);
            }
        }
    }
    if (!ratios.empty()) {
        std::sort(ratios.begin(), ratios.end());
        double below = 0;
        for (const auto &[ratio, w] : ratios) {
            below += w;
            if (2 * below >= weight) {
                fit.gain = std::clamp(ratio, low, high);
                break;
            }
        }
    }
    double sum = fixed;
    for (int l = 0; l < pattern.height; ++l) {
        for (int k = 0; k < pattern.width; ++k) {
            const double d = database_map.at(x + k, y + l);
            const double p = pattern.at(k, l);
            if (std::isfinite(d) && std::isfinite(p) && p != 0) {
                sum += std::fabs(fit.gain * p - d);
            }
        }
    }
    fit.score = sum;
    return fit;
}
