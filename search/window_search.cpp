#include "search/window_search.h"

#include "matcher/parallel.h"
#include "search/window_compare.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <vector>

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double epsilon = 0x1p-52;

// The best score found so far by any thread.
class SharedBound
{
public:
    float get() const { return m_value.load(std::memory_order_relaxed); }
    void lower(float score)
    {
        float current = get();
        while (score < current &&
               !m_value.compare_exchange_weak(current, score, std::memory_order_relaxed)) {
        }
    }

private:
    std::atomic<float> m_value{no_best_score};
};

// A running sum above this value rounds to a score above `bound`. Infinite (nothing is
// dropped) while the bound is not below the cut-off score: a cut-off window could still beat
// or tie it.
double drop_threshold(float bound)
{
    if (!(bound < cut_off_score)) {
        return infinity;
    }
    const double next = std::nextafter(bound, std::numeric_limits<float>::infinity());
    return (double(bound) + next) / 2;
}

// The first-minimum window of one map among the windows scored, in candidate order.
struct MapBest {
    float score = no_best_score;
    int x = 0;
    int y = 0;

    void consider(float candidate, int cx, int cy)
    {
        if (candidate < score || (candidate == score && (cx < x || (cx == x && cy < y)))) {
            score = candidate;
            x = cx;
            y = cy;
        }
    }
};

using Doubles = double __attribute__((vector_size(32)));
using Floats = float __attribute__((vector_size(16)));
using Masks = long long __attribute__((vector_size(32)));

constexpr int lanes = 8; // window positions scored at once

// The two vector kernels below are compiled twice, for AVX2 and for the baseline, and the
// variant the processor runs is chosen once at run time.
#define VECTOR_KERNEL(name, parameters, arguments)                                                 \
    __attribute__((target("avx2"))) void name##_avx2 parameters                                    \
    {                                                                                              \
        name##_body arguments;                                                                     \
    }                                                                                              \
    void name##_baseline parameters                                                                \
    {                                                                                              \
        name##_body arguments;                                                                     \
    }                                                                                              \
    void name parameters                                                                           \
    {                                                                                              \
        static const auto chosen = __builtin_cpu_supports("avx2") ? name##_avx2 : name##_baseline; \
        chosen arguments;                                                                          \
    }

// The lower bounds of eight windows side by side (see MapSums), from the row of map pieces at
// their first column.
inline __attribute__((always_inline)) void
bounds_eight_body(const double *pieces, const double *columns, int pw, double bounds[lanes])
{
    const Masks magnitude_bits = {0x7fffffffffffffffll, 0x7fffffffffffffffll, 0x7fffffffffffffffll,
                                  0x7fffffffffffffffll};
    Doubles low = {0, 0, 0, 0};
    Doubles high = {0, 0, 0, 0};
    for (int k = 0; k < pw; ++k) {
        Doubles a;
        Doubles b;
        std::memcpy(&a, pieces + k, sizeof a);
        std::memcpy(&b, pieces + k + 4, sizeof b);
        a -= columns[k];
        b -= columns[k];
        low += __builtin_bit_cast(Doubles, __builtin_bit_cast(Masks, a) & magnitude_bits);
        high += __builtin_bit_cast(Doubles, __builtin_bit_cast(Masks, b) & magnitude_bits);
    }
    std::memcpy(bounds, &low, sizeof low);
    std::memcpy(bounds + 4, &high, sizeof high);
}

VECTOR_KERNEL(bounds_eight,
              (const double *pieces, const double *columns, int pw, double bounds[lanes]),
              (pieces, columns, pw, bounds))

// The pattern's column sums, for the lower bounds of window sums.
struct PatternSums {
    std::vector<double> columns; // sum over the rows of each pattern column
    double largest = 0;          // largest magnitude of a cell; not finite: no lower bounds
    double cells = 0;

    explicit PatternSums(const FeatureMap &pattern)
        : columns(static_cast<std::size_t>(pattern.width), 0.0)
        , cells(double(pattern.width) * pattern.height)
    {
        for (int l = 0; l < pattern.height; ++l) {
            for (int k = 0; k < pattern.width; ++k) {
                const double value = pattern.at(k, l);
                columns[static_cast<std::size_t>(k)] += value;
                largest = std::max(largest, std::fabs(value)) + (value - value);
            }
        }
    }
};

// Lower bounds of the window sums of one map. For every window the triangle inequality gives
//   sum_k |sum_l D(x + k, y + l) - sum_l P(k, l)|  <=  sum_k sum_l |D(x + k, y + l) - P(k, l)|,
// the left side costing one term per pattern column with the map's sums over pattern-high
// column pieces. Both sides are formed in double from floats; `slack` bounds the rounding of
// the left side, and a window is dropped only when its bound exceeds the threshold by more
// than the rounding of both sides could explain.
struct MapSums {
    std::vector<double> pieces; // sum of D(x', y .. y + ph - 1) at y * width + x'
    double slack = infinity;    // no lower bounds for maps with values that are not finite
    int seed_x = 0;             // the window with the smallest lower bound
    int seed_y = 0;
    double seed_bound = infinity;

    MapSums(const FeatureMap &map, const FeatureMap &pattern, const PatternSums &sums)
    {
        const int width = map.width;
        const int rows = map.height - pattern.height + 1;
        const int ph = pattern.height;
        const double largest = std::max(sums.largest, largest_magnitude(map));
        if (!std::isfinite(largest)) {
            return;
        }
        // Sliding sums down the map, a row at a time: each piece adds one cell and removes one.
        pieces.assign(static_cast<std::size_t>(width) * rows, 0.0);
        double *first = pieces.data();
        for (int l = 0; l < ph; ++l) {
            const float *cells = map.data() + qint64(l) * width;
            for (int x = 0; x < width; ++x) {
                first[x] += cells[x];
            }
        }
        for (int y = 1; y < rows; ++y) {
            const double *above = pieces.data() + static_cast<std::size_t>(y - 1) * width;
            double *piece = pieces.data() + static_cast<std::size_t>(y) * width;
            const float *entering = map.data() + qint64(y + ph - 1) * width;
            const float *leaving = map.data() + qint64(y - 1) * width;
            for (int x = 0; x < width; ++x) {
                piece[x] = above[x] + (double(entering[x]) - double(leaving[x]));
            }
        }
        const double terms = 2.0 * map.height + 2.0 * pattern.width + ph + 4;
        slack = 4 * epsilon * largest * sums.cells * terms;
    }

    // The largest magnitude of a cell, or infinity when a cell is not finite: the magnitude
    // bits of floats order like their values, and those of infinities and NaNs come last.
    static double largest_magnitude(const FeatureMap &map)
    {
        std::uint32_t largest = 0;
        const float *cells = map.data();
        for (qint64 k = 0; k < map.cell_count(); ++k) {
            std::uint32_t bits;
            std::memcpy(&bits, cells + k, sizeof bits);
            largest = std::max(largest, bits & 0x7fffffffu);
        }
        if (largest >= 0x7f800000u) {
            return infinity;
        }
        float value;
        std::memcpy(&value, &largest, sizeof value);
        return value;
    }

    double window_bound(const PatternSums &sums, int x, int y, int width) const
    {
        const double *row = pieces.data() + static_cast<std::size_t>(y) * width + x;
        double bound = 0;
        for (std::size_t k = 0; k < sums.columns.size(); ++k) {
            bound += std::fabs(row[k] - sums.columns[k]);
        }
        return bound;
    }

    // Lower bounds of the windows at x .. x + 7 (x + 7 at most the last position).
    void bounds_at(const PatternSums &sums, int x, int y, int width, double bounds[lanes]) const
    {
        bounds_eight(pieces.data() + static_cast<std::size_t>(y) * width + x, sums.columns.data(),
                     int(sums.columns.size()), bounds);
    }

    void find_seed(const PatternSums &sums, int last_x, int last_y, int width)
    {
        if (pieces.empty()) {
            return;
        }
        for (int y = 0; y <= last_y; ++y) {
            int x = 0;
            for (; x + lanes - 1 <= last_x; x += lanes) {
                double bounds[lanes];
                bounds_at(sums, x, y, width, bounds);
                for (int lane = 0; lane < lanes; ++lane) {
                    take_seed(bounds[lane], x + lane, y);
                }
            }
            for (; x <= last_x; ++x) {
                take_seed(window_bound(sums, x, y, width), x, y);
            }
        }
    }

    void take_seed(double bound, int x, int y)
    {
        if (bound < seed_bound) {
            seed_bound = bound;
            seed_x = x;
            seed_y = y;
        }
    }

    // A window whose bound exceeds this cannot score at or below what `threshold` stands for.
    double bound_threshold(double threshold, double cells) const
    {
        return threshold * (1 + 4 * (cells + 1) * epsilon) + slack;
    }
};

// One window, as compare_windows scores it, dropped once its sum passes `threshold`. Returns
// false when dropped.
bool score_window(const float *d, int dw, const float *p, int pw, int ph, double threshold,
                  float &score)
{
    double sum = 0;
    for (int k = 0; k < pw; ++k) {
        for (int l = 0; l < ph; ++l) {
            const double magnitude =
                std::fabs(double(d[k + qint64(l) * dw]) - double(p[k + l * pw]));
            if (magnitude > cut_off_difference) {
                score = cut_off_score;
                return true;
            }
            sum += magnitude;
        }
        if (sum > threshold) {
            return false;
        }
    }
    score = static_cast<float>(sum);
    return true;
}

// Scores the windows at x .. x + 7 of one row offset at once, each lane summing its cells in
// the order of compare_windows; lanes marked in `dropped` are not wanted. Two independent
// accumulators keep the adder busy.

inline __attribute__((always_inline)) void score_eight_body(const float *d, int dw, const float *p,
                                                            int pw, int ph, double threshold,
                                                            const bool dropped[lanes],
                                                            float scores[lanes], bool kept[lanes])
{
    Doubles sum_low = {0, 0, 0, 0};
    Doubles sum_high = {0, 0, 0, 0};
    Masks cut_low = {0, 0, 0, 0};
    Masks cut_high = {0, 0, 0, 0};
    Masks unwanted_low = {-dropped[0], -dropped[1], -dropped[2], -dropped[3]};
    Masks unwanted_high = {-dropped[4], -dropped[5], -dropped[6], -dropped[7]};
    const Doubles limit = {cut_off_difference, cut_off_difference, cut_off_difference,
                           cut_off_difference};
    const Masks magnitude_bits = {0x7fffffffffffffffll, 0x7fffffffffffffffll, 0x7fffffffffffffffll,
                                  0x7fffffffffffffffll};
    auto magnitude_of = [&](const float *cells, double pattern_value, Doubles &magnitude) {
        Floats raw;
        std::memcpy(&raw, cells, sizeof raw);
        const Doubles difference = __builtin_convertvector(raw, Doubles) - pattern_value;
        magnitude =
            __builtin_bit_cast(Doubles, __builtin_bit_cast(Masks, difference) & magnitude_bits);
    };
    for (int k = 0; k < pw; ++k) {
        for (int l = 0; l < ph; ++l) {
            const float *cells = d + k + qint64(l) * dw;
            const double pattern_value = p[k + l * pw];
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
    for (int lane = 0; lane < lanes; ++lane) {
        const bool cut = lane < 4 ? cut_low[lane] != 0 : cut_high[lane - 4] != 0;
        const double sum = lane < 4 ? sum_low[lane] : sum_high[lane - 4];
        scores[lane] = cut ? cut_off_score : static_cast<float>(sum);
        kept[lane] = !dropped[lane] && (cut || !(sum > threshold));
    }
}

VECTOR_KERNEL(score_eight,
              (const float *d, int dw, const float *p, int pw, int ph, double threshold,
               const bool dropped[lanes], float scores[lanes], bool kept[lanes]),
              (d, dw, p, pw, ph, threshold, dropped, scores, kept))

struct Search {
    const FeatureMap &pattern;
    const PatternSums sums;
    SharedBound bound;

    explicit Search(const FeatureMap &p)
        : pattern(p)
        , sums(p)
    {}

    void scan_map(const FeatureMap &map, const MapSums &lower, MapBest &best)
    {
        const int last_x = map.width - pattern.width;
        const int last_y = map.height - pattern.height;
        const float *p = pattern.data();
        const int pw = pattern.width;
        const int ph = pattern.height;
        const bool bounded = !lower.pieces.empty();
        for (int y = 0; y <= last_y; ++y) {
            const float *row = map.data() + qint64(y) * map.width;
            double threshold = drop_threshold(std::min(bound.get(), best.score));
            // Blocks of eight positions; the last block is moved back to end at the last
            // position (scoring a window twice changes nothing); narrow maps go one by one.
            int x = 0;
            if (last_x + 1 >= lanes) {
                for (bool last = false; !last; x += lanes) {
                    if (x + lanes - 1 >= last_x) {
                        x = last_x - (lanes - 1);
                        last = true;
                    }
                    bool dropped[lanes] = {};
                    bool any_wanted = !bounded;
                    if (bounded) {
                        const double limit = lower.bound_threshold(threshold, sums.cells);
                        double bounds[lanes];
                        lower.bounds_at(sums, x, y, map.width, bounds);
                        for (int lane = 0; lane < lanes; ++lane) {
                            dropped[lane] = bounds[lane] > limit;
                            any_wanted |= !dropped[lane];
                        }
                    }
                    if (!any_wanted) {
                        continue;
                    }
                    float scores[lanes];
                    bool kept[lanes];
                    score_eight(row + x, map.width, p, pw, ph, threshold, dropped, scores, kept);
                    for (int lane = 0; lane < lanes; ++lane) {
                        if (kept[lane]) {
                            best.consider(scores[lane], x + lane, y);
                        }
                    }
                    threshold = std::min(threshold, drop_threshold(best.score));
                }
            }
            for (; x <= last_x; ++x) {
                if (bounded && lower.window_bound(sums, x, y, map.width) >
                                   lower.bound_threshold(threshold, sums.cells)) {
                    continue;
                }
                float score = 0;
                if (score_window(row + x, map.width, p, pw, ph, threshold, score)) {
                    best.consider(score, x, y);
                    threshold = std::min(threshold, drop_threshold(best.score));
                }
            }
            bound.lower(best.score);
        }
    }
};

bool has_windows(const FeatureMap &map, const FeatureMap &pattern)
{
    if (map.width <= 0 || map.height <= 0) {
        return false;
    }
    const int last_x = pattern.width > 0 ? map.width - pattern.width : map.width - 1;
    const int last_y = pattern.height > 0 ? map.height - pattern.height : map.height - 1;
    return last_x >= 0 && last_y >= 0;
}

// Runs `work(m)` for every map that has windows, on `threads` threads.
template <typename Work>
void for_each_map(const QList<FeatureMap> &database, const FeatureMap &pattern, int first,
                  int threads, Work work)
{
    std::atomic<int> next{first};
    run_on_threads(threads, [&] {
        for (int m = next++; m < database.size(); m = next++) {
            if (has_windows(database[m], pattern)) {
                work(m);
            }
        }
    });
}

} // namespace

BestWindow best_window(const FeatureMap &pattern, const QList<FeatureMap> &database, int threads)
{
    BestWindow result;
    int first = 0;
    while (first < database.size() && !has_windows(database[first], pattern)) {
        ++first;
    }
    if (first == database.size()) {
        return result;
    }
    // The first candidate, for when no score is below 9999999. A pattern without cells scores
    // 0 everywhere, so it is also the pick then.
    result.exists = true;
    result.map = first;
    result.score = window_score(database[first], pattern, 0, 0);
    if (pattern.width <= 0 || pattern.height <= 0) {
        return result;
    }
    const int workers = std::min(thread_count(threads), int(database.size()) - first);
    const std::size_t count = static_cast<std::size_t>(database.size());
    Search search(pattern);

    // First the lower bounds of every map, and in each the window with the smallest one. Only
    // that window is kept; a map's sums live while a thread works on the map.
    struct Seed {
        bool usable = false;
        int x = 0;
        int y = 0;
        double bound = infinity;
    };
    std::vector<Seed> seeds(count);
    for_each_map(database, pattern, first, workers, [&](int m) {
        const FeatureMap &map = database[m];
        MapSums sums(map, pattern, search.sums);
        sums.find_seed(search.sums, map.width - pattern.width, map.height - pattern.height,
                       map.width);
        seeds[static_cast<std::size_t>(m)] = {true, sums.seed_x, sums.seed_y, sums.seed_bound};
    });

    // The windows with the smallest lower bounds are likely the best: scoring a few of them
    // first gives a tight bound for the whole search.
    std::vector<MapBest> per_map(count);
    std::vector<int> order;
    for (int m = first; m < database.size(); ++m) {
        if (seeds[static_cast<std::size_t>(m)].usable) {
            order.push_back(m);
        }
    }
    const std::size_t scored_first = std::min<std::size_t>(4, order.size());
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(scored_first),
                      order.end(), [&](int a, int b) {
                          return seeds[static_cast<std::size_t>(a)].bound <
                                 seeds[static_cast<std::size_t>(b)].bound;
                      });
    for (std::size_t s = 0; s < scored_first; ++s) {
        const int m = order[s];
        const Seed &seed = seeds[static_cast<std::size_t>(m)];
        if (!std::isfinite(seed.bound)) {
            continue;
        }
        MapBest &best = per_map[static_cast<std::size_t>(m)];
        best.consider(window_score(database[m], pattern, seed.x, seed.y), seed.x, seed.y);
        search.bound.lower(best.score);
    }

    for_each_map(database, pattern, first, workers, [&](int m) {
        const MapSums sums(database[m], pattern, search.sums);
        search.scan_map(database[m], sums, per_map[static_cast<std::size_t>(m)]);
    });

    float best = no_best_score;
    for (int m = first; m < database.size(); ++m) {
        const MapBest &candidate = per_map[static_cast<std::size_t>(m)];
        if (candidate.score < best) {
            best = candidate.score;
            result.map = m;
            result.x = candidate.x;
            result.y = candidate.y;
            result.score = candidate.score;
        }
    }
    return result;
}
