#include "search/best_window.h"

#include "search/score_kernels.h"
#include "search/window_bounds.h"
#include "search/window_compare.h"
#include "support/threads.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <vector>

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

// The best score found so far by any thread; a window scoring above it cannot matter.
class SharedBound
{
public:
    explicit SharedBound(float start)
        : m_value(start)
    {}
    float get() const { return m_value.load(std::memory_order_relaxed); }
    void lower(float score)
    {
        float current = get();
        while (score < current &&
               !m_value.compare_exchange_weak(current, score, std::memory_order_relaxed)) {
        }
    }

private:
    std::atomic<float> m_value;
};

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

bool has_windows(const FeatureMap &map, const FeatureMap &pattern)
{
    if (map.width <= 0 || map.height <= 0) {
        return false;
    }
    const int last_x = pattern.width > 0 ? map.width - pattern.width : map.width - 1;
    const int last_y = pattern.height > 0 ? map.height - pattern.height : map.height - 1;
    return last_x >= 0 && last_y >= 0;
}

} // namespace

// The cells a map is scanned in for patterns of one size. The kernels read eight window
// positions at once, so a map with fewer positions per row is scanned through a copy padded
// with zeros to eight; positions beyond the last one are never wanted.
struct ScanMap {
    FeatureMap cells;
    int last_x;
    int last_y;

    ScanMap(const FeatureMap &map, int pattern_width, int pattern_height)
        : cells(map)
        , last_x(map.width - pattern_width)
        , last_y(map.height - pattern_height)
    {
        if (last_x + 1 < kernel_lanes) {
            cells = FeatureMap::allocate(pattern_width + kernel_lanes - 1, map.height, map.name);
            for (int y = 0; y < map.height; ++y) {
                std::copy_n(map.data() + qint64(y) * map.width, map.width,
                            cells.data() + qint64(y) * cells.width);
            }
        }
    }

    // Calls block(x, positions) for blocks of eight positions x .. x + 7 that together cover
    // 0 .. last_x, of which the first `positions` exist. In a wide row the last block is moved
    // back to end at last_x; scoring a window twice changes nothing.
    template <typename Block> void for_each_block(Block block) const
    {
        if (last_x + 1 < kernel_lanes) {
            block(0, last_x + 1);
            return;
        }
        for (int x = 0;; x += kernel_lanes) {
            if (x + kernel_lanes - 1 >= last_x) {
                block(last_x - (kernel_lanes - 1), kernel_lanes);
                return;
            }
            block(x, kernel_lanes);
        }
    }
};

// What a map's scan needs for patterns of one size, whatever their values.
struct PreparedMap {
    ScanMap scan;
    MapPieces pieces;

    PreparedMap(const FeatureMap &map, int pattern_width, int pattern_height)
        : scan(map, pattern_width, pattern_height)
        , pieces(scan.cells, pattern_height)
    {}
};

namespace {

// The window with the smallest lower bound of one map.
struct Seed {
    bool usable = false;
    int x = 0;
    int y = 0;
    double bound = infinity;
};

class Search
{
public:
    // `bound`: windows scoring above it do not matter from the start.
    Search(const FeatureMap &pattern, float bound)
        : m_pattern(pattern)
        , m_sums(pattern)
        , m_kernels(score_kernels())
        , m_bound(bound)
    {}

    Seed find_seed(const PreparedMap &prepared) const
    {
        const ScanMap &scan = prepared.scan;
        const MapBounds bounds(prepared.pieces, m_pattern, m_sums);
        Seed seed;
        if (!bounds.usable()) {
            return seed;
        }
        seed.usable = true;
        for (int y = 0; y <= scan.last_y; ++y) {
            scan.for_each_block([&](int x, int positions) {
                double lower[kernel_lanes];
                bounds.bounds_at(m_kernels, m_sums, x, y, lower);
                for (int lane = 0; lane < positions; ++lane) {
                    if (lower[lane] < seed.bound) {
                        seed = {true, x + lane, y, lower[lane]};
                    }
                }
            });
        }
        return seed;
    }

    void scan_map(const PreparedMap &prepared, MapBest &best)
    {
        const ScanMap &scan = prepared.scan;
        const MapBounds bounds(prepared.pieces, m_pattern, m_sums);
        const int width = scan.cells.width;
        const float *p = m_pattern.data();
        const int pw = m_pattern.width;
        const int ph = m_pattern.height;
        for (int y = 0; y <= scan.last_y; ++y) {
            const float *row = scan.cells.data() + qint64(y) * width;
            double threshold = drop_threshold(std::min(m_bound.get(), best.score));
            scan.for_each_block([&](int x, int positions) {
                bool dropped[kernel_lanes];
                bool any_wanted = false;
                double lower[kernel_lanes];
                const double limit = bounds.bound_limit(threshold, m_sums.cells);
                if (bounds.usable()) {
                    bounds.bounds_at(m_kernels, m_sums, x, y, lower);
                }
                for (int lane = 0; lane < kernel_lanes; ++lane) {
                    dropped[lane] = lane >= positions || (bounds.usable() && lower[lane] > limit);
                    any_wanted |= !dropped[lane];
                }
                if (!any_wanted) {
                    return;
                }
                float scores[kernel_lanes];
                bool kept[kernel_lanes];
                m_kernels.score_eight(row + x, width, p, pw, ph, threshold, dropped, scores, kept);
                for (int lane = 0; lane < kernel_lanes; ++lane) {
                    if (kept[lane]) {
                        best.consider(scores[lane], x + lane, y);
                    }
                }
                threshold = std::min(threshold, drop_threshold(best.score));
            });
            m_bound.lower(best.score);
        }
    }

    void lower_bound(float score) { m_bound.lower(score); }

private:
    const FeatureMap &m_pattern;
    const PatternSums m_sums;
    const ScoreKernels &m_kernels;
    SharedBound m_bound;
};

// Runs `work(m)` for every map from `first` on that has windows and is wanted, on `threads`
// threads.
template <typename Work, typename Wanted>
void for_each_map(const QList<FeatureMap> &database, const FeatureMap &pattern, int first,
                  int threads, Wanted wanted, Work work)
{
    std::atomic<int> next{first};
    run_on_threads(threads, [&] {
        for (int m = next++; m < database.size(); m = next++) {
            if (has_windows(database[m], pattern) && wanted(m)) {
                work(m);
            }
        }
    });
}

bool every_map(int)
{
    return true;
}

// The first map with the lowest best score below 9999999 among the wanted ones.
std::optional<MatchCandidate> first_minimum(const std::vector<MapBest> &per_map,
                                            const QList<FeatureMap> &database)
{
    std::optional<MatchCandidate> found;
    float lowest = no_best_score;
    for (int m = 0; m < database.size(); ++m) {
        const MapBest &candidate = per_map[static_cast<std::size_t>(m)];
        if (candidate.score < lowest) {
            lowest = candidate.score;
            found = MatchCandidate{candidate.x, candidate.y, candidate.score, database[m].name, m};
        }
    }
    return found;
}

} // namespace

std::optional<MatchCandidate> best_window(const FeatureMap &pattern,
                                          const QList<FeatureMap> &database, int threads)
{
    int first = 0;
    while (first < database.size() && !has_windows(database[first], pattern)) {
        ++first;
    }
    if (first == database.size()) {
        return std::nullopt;
    }
    // The first candidate, for when no score is below 9999999. A pattern without cells scores
    // 0 everywhere, so it is also the pick then.
    const MatchCandidate first_candidate{0, 0, window_score(database[first], pattern, 0, 0),
                                         database[first].name, first};
    if (pattern.width <= 0 || pattern.height <= 0) {
        return first_candidate;
    }
    const int workers = std::min(thread_count(threads), int(database.size()) - first);
    const std::size_t count = static_cast<std::size_t>(database.size());
    Search search(pattern, no_best_score);

    // First the lower bounds of every map, and in each the window with the smallest one. Only
    // that window is kept; a map's sums live while a thread works on the map.
    std::vector<Seed> seeds(count);
    for_each_map(database, pattern, first, workers, every_map, [&](int m) {
        const PreparedMap prepared(database[m], pattern.width, pattern.height);
        seeds[static_cast<std::size_t>(m)] = search.find_seed(prepared);
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
        search.lower_bound(best.score);
    }

    for_each_map(database, pattern, first, workers, every_map, [&](int m) {
        const PreparedMap prepared(database[m], pattern.width, pattern.height);
        search.scan_map(prepared, per_map[static_cast<std::size_t>(m)]);
    });
    return first_minimum(per_map, database).value_or(first_candidate);
}

WindowScanner::WindowScanner(const QList<FeatureMap> &database)
    : m_database(database)
{}

WindowScanner::~WindowScanner() = default;

const std::vector<std::unique_ptr<PreparedMap>> &WindowScanner::prepared_for(int width, int height)
{
    for (Prepared &entry : m_prepared) {
        if (entry.width == width && entry.height == height) {
            return entry.maps;
        }
    }
    Prepared entry;
    entry.width = width;
    entry.height = height;
    const FeatureMap pattern = FeatureMap::allocate(width, height);
    for (const FeatureMap &map : m_database) {
        entry.maps.push_back(has_windows(map, pattern)
                                 ? std::make_unique<PreparedMap>(map, width, height)
                                 : nullptr);
    }
    m_prepared.push_back(std::move(entry));
    return m_prepared.back().maps;
}

std::optional<MatchCandidate> WindowScanner::best_within(const FeatureMap &pattern, float bound,
                                                         const std::vector<char> *wanted,
                                                         int threads)
{
    if (pattern.width <= 0 || pattern.height <= 0 || m_database.isEmpty()) {
        return std::nullopt;
    }
    const auto &prepared = prepared_for(pattern.width, pattern.height);
    Search search(pattern, bound);
    std::vector<MapBest> per_map(static_cast<std::size_t>(m_database.size()));
    const int workers = std::min(thread_count(threads), int(m_database.size()));
    auto is_wanted = [wanted](int m) {
        return !wanted || (*wanted)[static_cast<std::size_t>(m)] != 0;
    };
    for_each_map(m_database, pattern, 0, workers, is_wanted, [&](int m) {
        search.scan_map(*prepared[static_cast<std::size_t>(m)],
                        per_map[static_cast<std::size_t>(m)]);
    });
    const std::optional<MatchCandidate> found = first_minimum(per_map, m_database);
    if (!found || !(found->score <= bound)) {
        return std::nullopt;
    }
    return found;
}

std::optional<MatchCandidate> best_window_within(const FeatureMap &pattern,
                                                 const QList<FeatureMap> &database, int threads,
                                                 float bound, const std::vector<char> *wanted)
{
    WindowScanner scanner(database);
    return scanner.best_within(pattern, bound, wanted, threads);
}

RunnerUp runner_up_window(const FeatureMap &pattern, const QList<FeatureMap> &database, int threads,
                          const MatchCandidate &best)
{
    RunnerUp result;
    std::vector<char> other(static_cast<std::size_t>(database.size()), 0);
    for (int m = 0; m < database.size(); ++m) {
        other[static_cast<std::size_t>(m)] = database[m].name != best.name;
        result.other_images |=
            other[static_cast<std::size_t>(m)] && has_windows(database[m], pattern);
    }
    if (!result.other_images || !(best.score < no_best_score)) {
        return result;
    }
    // Only windows within reach matter, from the start.
    const float reach = static_cast<float>(double(literal_runner_up_reach) * double(best.score));
    result.window = best_window_within(pattern, database, threads, reach, &other);
    if (result.window &&
        !(double(result.window->score) <= double(literal_runner_up_reach) * double(best.score))) {
        result.window.reset();
    }
    return result;
}
