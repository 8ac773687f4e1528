#include "search/score_kernels.h"

#include "search/window_compare.h"

#include <cstring>

namespace {

using Doubles = double __attribute__((vector_size(32)));
using Floats = float __attribute__((vector_size(16)));
using Masks = long long __attribute__((vector_size(32)));

constexpr Masks magnitude_bits = {0x7fffffffffffffffll, 0x7fffffffffffffffll, 0x7fffffffffffffffll,
                                  0x7fffffffffffffffll};

// |value|, written through a reference: returning a vector by value would tie the function to
// one vector ABI.
inline __attribute__((always_inline)) void add_magnitude(Doubles &sum, const Doubles &value)
{
    sum += __builtin_bit_cast(Doubles, __builtin_bit_cast(Masks, value) & magnitude_bits);
}

inline __attribute__((always_inline)) void
bounds_eight_body(const double *pieces, const double *columns, int pw, double bounds[kernel_lanes])
{
    Doubles low = {0, 0, 0, 0};
    Doubles high = {0, 0, 0, 0};
    for (int k = 0; k < pw; ++k) {
        Doubles a;
        Doubles b;
        std::memcpy(&a, pieces + k, sizeof a);
        std::memcpy(&b, pieces + k + 4, sizeof b);
        add_magnitude(low, a - columns[k]);
        add_magnitude(high, b - columns[k]);
    }
    std::memcpy(bounds, &low, sizeof low);
    std::memcpy(bounds + 4, &high, sizeof high);
}

// Two independent accumulators keep the adder busy.
inline __attribute__((always_inline)) void score_eight_body(const float *d, int dw, const float *p,
                                                            int pw, int ph, double threshold,
                                                            const bool dropped[kernel_lanes],
                                                            float scores[kernel_lanes],
                                                            bool kept[kernel_lanes])
{
    Doubles sum_low = {0, 0, 0, 0};
    Doubles sum_high = {0, 0, 0, 0};
    Masks cut_low = {0, 0, 0, 0};
    Masks cut_high = {0, 0, 0, 0};
    const Masks unwanted_low = {-dropped[0], -dropped[1], -dropped[2], -dropped[3]};
    const Masks unwanted_high = {-dropped[4], -dropped[5], -dropped[6], -dropped[7]};
    const Doubles limit = {cut_off_difference, cut_off_difference, cut_off_difference,
                           cut_off_difference};
    auto magnitude_of = [](const float *cells, double pattern_value, Doubles &magnitude) {
        Floats raw;
        std::memcpy(&raw, cells, sizeof raw);
        const Doubles difference = __builtin_convertvector(raw, Doubles) - pattern_value;
        magnitude =
            __builtin_bit_cast(Doubles, __builtin_bit_cast(Masks, difference) & magnitude_bits);
    };
    for (int k = 0; k < pw; ++k) {
        for (int l = 0; l < ph; ++l) {
            const float *cells = d + k + static_cast<long long>(l) * dw;
            const double pattern_value = p[k + static_cast<long long>(l) * pw];
            Doubles low;
            Doubles high;
            magnitude_of(cells, pattern_value, low);
            magnitude_of(cells + 4, pattern_value, high);
            cut_low |= low > limit;
            cut_high |= high > limit;
            // A cut-off lane scores 9999 whatever it would have summed.
            sum_low += __builtin_bit_cast(Doubles, __builtin_bit_cast(Masks, low) & ~cut_low);
            sum_high += __builtin_bit_cast(Doubles, __builtin_bit_cast(Masks, high) & ~cut_high);
        }
        const Masks done = (cut_low | unwanted_low | (sum_low > threshold)) &
                           (cut_high | unwanted_high | (sum_high > threshold));
        if (done[0] && done[1] && done[2] && done[3]) {
            break;
        }
    }
    for (int lane = 0; lane < kernel_lanes; ++lane) {
        const bool cut = lane < 4 ? cut_low[lane] != 0 : cut_high[lane - 4] != 0;
        const double sum = lane < 4 ? sum_low[lane] : sum_high[lane - 4];
        scores[lane] = cut ? cut_off_score : static_cast<float>(sum);
        kept[lane] = !dropped[lane] && (cut || !(sum > threshold));
    }
}

__attribute__((target("avx2"))) void score_eight_avx2(const float *d, int dw, const float *p,
                                                      int pw, int ph, double threshold,
                                                      const bool dropped[kernel_lanes],
                                                      float scores[kernel_lanes],
                                                      bool kept[kernel_lanes])
{
    score_eight_body(d, dw, p, pw, ph, threshold, dropped, scores, kept);
}

void score_eight_baseline(const float *d, int dw, const float *p, int pw, int ph, double threshold,
                          const bool dropped[kernel_lanes], float scores[kernel_lanes],
                          bool kept[kernel_lanes])
{
    score_eight_body(d, dw, p, pw, ph, threshold, dropped, scores, kept);
}

__attribute__((target("avx2"))) void bounds_eight_avx2(const double *pieces, const double *columns,
                                                       int pw, double bounds[kernel_lanes])
{
    bounds_eight_body(pieces, columns, pw, bounds);
}

void bounds_eight_baseline(const double *pieces, const double *columns, int pw,
                           double bounds[kernel_lanes])
{
    bounds_eight_body(pieces, columns, pw, bounds);
}

std::vector<ScoreKernels> variants()
{
    std::vector<ScoreKernels> list;
    if (__builtin_cpu_supports("avx2")) {
        list.push_back({"avx2", score_eight_avx2, bounds_eight_avx2});
    }
    list.push_back({"baseline", score_eight_baseline, bounds_eight_baseline});
    return list;
}

} // namespace

const std::vector<ScoreKernels> &available_score_kernels()
{
    static const std::vector<ScoreKernels> list = variants();
    return list;
}

const ScoreKernels &score_kernels()
{
    return available_score_kernels().front();
}
