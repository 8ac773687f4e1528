#include "search/indexed_search.h"

#include "search/gain_fit.h"
#include "search/window_compare.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <tuple>
#include <unordered_map>

namespace {

// A pattern block worth looking up: where it is in its phase and how likely its codes are.
struct Block {
    double log_probability;
    std::uint64_t key;
    std::uint64_t bucket_size;
    int k; // its top-left cell in the phase's map
    int l;
};

// The order of the shortlist: heaviest votes first, then the earlier map, then y, then x.
bool heavier(const VotedWindow &a, const VotedWindow &b)
{
    return std::tie(b.weight, a.map, a.y, a.x) < std::tie(a.weight, b.map, b.y, b.x);
}

// The order of scoring: closest on the probe cells first, then as the shortlist.
bool closer(const VotedWindow &a, const VotedWindow &b)
{
    return a.probed < b.probed || (a.probed == b.probed && heavier(a, b));
}

// The cells a window is first checked on: a grid of up to 4 x 4 over the phase's map.
constexpr int probe_grid = 4;

} // namespace

struct IndexedSearcher::State {
    CentreDescriptor &pattern;
    const QList<FeatureMap> &database; // the slice
    const CandidateIndex &index;
    int first_map;
    int end_map;
    IndexedOptions options;
    int step;
    std::vector<FeatureMap> phases; // by order py * step + px; without values when no cells

    mutable int lookups = 0;
    mutable qint64 entries = 0;

    std::function<void(int map)> before_reading;
    mutable std::vector<char> read; // the slice's maps announced to before_reading

    State(CentreDescriptor &p, const QList<FeatureMap> &d, const CandidateIndex &i, int first,
          const IndexedOptions &o, std::function<void(int map)> before)
        : pattern(p)
        , database(d)
        , index(i)
        , first_map(first)
        , end_map(first + int(d.size()))
        , options(o)
        , step(p.step())
        , phases(std::size_t(step) * std::size_t(step))
        , before_reading(std::move(before))
        , ranked_blocks(phases.size())
        , ranked_sorted(phases.size(), 0)
    {
        // Every centre once, then each phase's cells from them.
        const int across = pattern.centres_x();
        const std::vector<float> values = pattern.all_values();
        for (int py = 0; py < step; ++py) {
            for (int px = 0; px < step; ++px) {
                if (!pattern.phase_has_cells(px, py)) {
                    continue;
                }
                const QSize size = pattern.phase_size(px, py);
                FeatureMap cells = FeatureMap::allocate(size.width(), size.height());
                for (int l = 0; l < cells.height; ++l) {
                    for (int k = 0; k < cells.width; ++k) {
                        cells.at(k, l) = values[std::size_t(px + k * step) +
                                                std::size_t(py + l * step) * std::size_t(across)];
                    }
                }
                phases[std::size_t(py * step + px)] = cells;
            }
        }
    }

    const FeatureMap &phase(int px, int py) const { return phases[std::size_t(py * step + px)]; }

    // The phase and first cell that put the crop's corner at pixel (x, y) of a map.
    void place(int x, int y, int &px, int &py, int &cx, int &cy) const
    {
        px = ((-x) % step + step) % step;
        py = ((-y) % step + step) % step;
        cx = (x + px) / step;
        cy = (y + py) / step;
    }

    bool in_slice(int map) const { return map >= first_map && map < end_map; }

    // The map, its values announced before they are first read.
    const FeatureMap &values_of(int map) const
    {
        if (before_reading) {
            read.resize(std::size_t(database.size()), 0);
            char &announced = read[std::size_t(map - first_map)];
            if (!announced) {
                before_reading(map);
                announced = 1;
            }
        }
        return database[map - first_map];
    }
    const FeatureMap &map_of(int map) const { return database[map - first_map]; }

    // The phase's cells that put the crop's corner at pixel (x, y) of the map, and their first
    // cell there; null where the phase has no cells or its map does not fit there.
    const FeatureMap *fitting(int map, int x, int y, int &cx, int &cy) const
    {
        int px = 0;
        int py = 0;
        place(x, y, px, py, cx, cy);
        const FeatureMap &cells = phase(px, py);
        const FeatureMap &target = values_of(map);
        if (!cells.has_values() || cx < 0 || cy < 0 || cx + cells.width > target.width ||
            cy + cells.height > target.height) {
            return nullptr;
        }
        return &cells;
    }

    // The window score of the crop at pixel (x, y) of the map `map`; no_best_score
    // where it does not fit.
    float score_at(int map, int x, int y) const
    {
        int cx = 0;
        int cy = 0;
        const FeatureMap *cells = fitting(map, x, y, cx, cy);
        return cells ? window_score(values_of(map), *cells, cx, cy) : no_best_score;
    }

    // The score of the crop at pixel (x, y) of the map with its contrast fitted; it must fit.
    GainFit fitted_at(int map, int x, int y) const
    {
        int cx = 0;
        int cy = 0;
        const FeatureMap *cells = fitting(map, x, y, cx, cy);
        return cells ? gain_fitted_score(values_of(map), *cells, cx, cy)
                     : GainFit{1, no_best_score};
    }

    // The sum of |d| over the probe cells of the crop at pixel (x, y) of the map; infinite
    // where it does not fit.
    double probe(int map, int x, int y) const
    {
        int cx = 0;
        int cy = 0;
        const FeatureMap *fits = fitting(map, x, y, cx, cy);
        if (!fits) {
            return std::numeric_limits<double>::infinity();
        }
        const FeatureMap &cells = *fits;
        const FeatureMap &target = values_of(map);
        const int across = std::min(probe_grid, cells.width);
        const int down = std::min(probe_grid, cells.height);
        double sum = 0;
        for (int gy = 0; gy < down; ++gy) {
            for (int gx = 0; gx < across; ++gx) {
                const int k = (2 * gx + 1) * cells.width / (2 * across);
                const int l = (2 * gy + 1) * cells.height / (2 * down);
                const double d = double(target.at(cx + k, cy + l)) - double(cells.at(k, l));
                sum += std::isfinite(d) ? std::fabs(d) : double(cut_off_difference);
            }
        }
        return sum;
    }

    // One entry's vote: the crop at pixel (x, y) of a map.
    struct Vote {
        int map;
        int x;
        int y;
        double weight;
        std::size_t order; // in which it was cast
    };

    // The phase's blocks, made on first use, the `count` rarest first in order (then by
    // position) with their keys; and of the rarest, those to look up.
    mutable std::vector<std::vector<Block>> ranked_blocks;
    mutable std::vector<std::size_t> ranked_sorted; // how many come first in order
    const std::vector<Block> &ranked(const FeatureMap &cells, std::size_t phase_order,
                                     std::size_t count) const;
    std::vector<Block> blocks_of(const FeatureMap &cells, std::size_t phase_order) const;
    void vote(int px, int py, std::vector<Vote> &votes) const;
};

// The phase's blocks to look up: the least likely ones, then of those the ones whose buckets
// hold the fewest entries.
const std::vector<Block> &IndexedSearcher::State::ranked(const FeatureMap &cells,
                                                         std::size_t phase_order,
                                                         std::size_t count) const
{
    std::vector<Block> &blocks = ranked_blocks[phase_order];
    if (cells.width < key_block_side || cells.height < key_block_side) {
        return blocks;
    }
    if (blocks.empty()) {
        BlockCodes codes;
        for (int l = 0; l + key_block_side <= cells.height; ++l) {
            for (int k = 0; k + key_block_side <= cells.width; ++k) {
                if (block_codes(cells.data() + k + qint64(l) * cells.width, cells.width, codes)) {
                    blocks.push_back({index.rarity().log_probability(codes), 0, 0, k, l});
                }
            }
        }
    }
    // Only the rarest are read: those come first in order, and carry their keys.
    count = std::min(count, blocks.size());
    std::size_t &sorted = ranked_sorted[phase_order];
    if (count > sorted) {
        std::partial_sort(blocks.begin(), blocks.begin() + std::ptrdiff_t(count), blocks.end(),
                          [](const Block &a, const Block &b) {
                              return std::tie(a.log_probability, a.l, a.k) <
                                     std::tie(b.log_probability, b.l, b.k);
                          });
        BlockCodes codes;
        for (std::size_t n = sorted; n < count; ++n) {
            Block &block = blocks[n];
            block_codes(cells.data() + block.k + qint64(block.l) * cells.width, cells.width, codes);
            block.key = key_of_codes(codes);
        }
        sorted = count;
    }
    return blocks;
}

std::vector<Block> IndexedSearcher::State::blocks_of(const FeatureMap &cells,
                                                     std::size_t phase_order) const
{
    const std::size_t looked = std::size_t(std::max(0, options.blocks_per_phase));
    const std::vector<Block> &rarest = ranked(cells, phase_order, 2 * looked);
    std::vector<Block> blocks(rarest.begin(),
                              rarest.begin() + std::ptrdiff_t(std::min(rarest.size(), 2 * looked)));
    for (Block &block : blocks) {
        block.bucket_size = index.bucket_size(block.key);
    }
    // Empty buckets hold no key of the database; crowded ones, a common key that says little
    // and costs much.
    const std::uint64_t largest = std::uint64_t(std::max(1, options.largest_bucket));
    blocks.erase(std::remove_if(blocks.begin(), blocks.end(),
                                [&](const Block &block) {
                                    return block.bucket_size == 0 || block.bucket_size > largest;
                                }),
                 blocks.end());
    std::stable_sort(blocks.begin(), blocks.end(),
                     [](const Block &a, const Block &b) { return a.bucket_size < b.bucket_size; });
    blocks.resize(std::min(blocks.size(), looked));
    return blocks;
}

void IndexedSearcher::State::vote(int px, int py, std::vector<Vote> &votes) const
{
    const FeatureMap &cells = phase(px, py);
    if (!cells.has_values()) {
        return;
    }
    const double entries_in_all = double(std::max<std::uint64_t>(1, index.size()));
    for (const Block &block : blocks_of(cells, std::size_t(py * step + px))) {
        ++lookups;
        // Rare keys say more: the weight of a vote is the information of its bucket.
        const double weight = std::log(entries_in_all / double(block.bucket_size)) + 1;
        entries +=
            qint64(index.for_each_entry(block.key, first_map, end_map, [&](int map, int cell) {
                const FeatureMap &target = map_of(map);
                const int cx = cell % target.width - block.k;
                const int cy = cell / target.width - block.l;
                if (cx >= 0 && cy >= 0 && cx + cells.width <= target.width &&
                    cy + cells.height <= target.height) {
                    votes.push_back({map, cx * step - px, cy * step - py, weight, votes.size()});
                }
            }));
    }
}

IndexedSearcher::IndexedSearcher(CentreDescriptor &pattern, const QList<FeatureMap> &slice,
                                 const CandidateIndex &index, int first_map,
                                 const IndexedOptions &options,
                                 std::function<void(int map)> before_reading)
    : m(std::make_unique<State>(pattern, slice, index, first_map, options,
                                std::move(before_reading)))
{}

IndexedSearcher::~IndexedSearcher() = default;

void IndexedSearcher::set_options(const IndexedOptions &options)
{
    m->options = options;
}

std::vector<VotedWindow> IndexedSearcher::votes() const
{
    std::vector<State::Vote> all;
    for (int py = 0; py < m->step; ++py) {
        for (int px = 0; px < m->step; ++px) {
            m->vote(px, py, all);
        }
    }
    // One window per voted position, with its count; the votes of a position in the order
    // they were cast, so that its weights add up in the same order whichever slices the
    // database is cut into.
    std::sort(all.begin(), all.end(), [](const State::Vote &a, const State::Vote &b) {
        return std::tie(a.map, a.y, a.x, a.order) < std::tie(b.map, b.y, b.x, b.order);
    });
    std::vector<VotedWindow> counted;
    counted.reserve(all.size());
    for (const State::Vote &vote : all) {
        if (!counted.empty() && counted.back().map == vote.map && counted.back().x == vote.x &&
            counted.back().y == vote.y) {
            ++counted.back().votes;
            counted.back().weight += vote.weight;
        } else {
            VotedWindow window;
            window.map = vote.map;
            window.x = vote.x;
            window.y = vote.y;
            window.votes = 1;
            window.weight = vote.weight;
            counted.push_back(window);
        }
    }
    std::vector<VotedWindow> shortlist = shortlisted(std::move(counted));
    for (VotedWindow &window : shortlist) {
        window.probed = m->probe(window.map, window.x, window.y);
    }
    return shortlist;
}

namespace {

// Keeps the first `first` windows and, of the others in their order, the first window of each of
// `count` maps none of the kept ones is in.
void keep_other_maps(std::vector<VotedWindow> &windows, std::size_t first, int count)
{
    std::set<int> maps;
    for (std::size_t k = 0; k < first; ++k) {
        maps.insert(windows[k].map);
    }
    std::size_t end = first;
    for (std::size_t k = first; k < windows.size() && int(end - first) < count; ++k) {
        if (maps.insert(windows[k].map).second) {
            std::swap(windows[end++], windows[k]);
        }
    }
    windows.resize(end);
}

// Keeps the first `first` windows and, in the shortlist's order, the heaviest window of each of
// the `count` maps none of them is in whose heaviest windows are heaviest: what
// keep_other_maps keeps of the windows after `first` in that order, without ordering them all.
void keep_heaviest_of_other_maps(std::vector<VotedWindow> &windows, std::size_t first, int count)
{
    if (count <= 0) {
        windows.resize(first);
        return;
    }
    std::set<int> kept_maps;
    for (std::size_t k = 0; k < first; ++k) {
        kept_maps.insert(windows[k].map);
    }
    std::unordered_map<int, std::size_t> heaviest; // map -> its heaviest window
    for (std::size_t k = first; k < windows.size(); ++k) {
        if (kept_maps.count(windows[k].map)) {
            continue;
        }
        auto [at, added] = heaviest.emplace(windows[k].map, k);
        if (!added && heavier(windows[k], windows[at->second])) {
            at->second = k;
        }
    }
    std::vector<VotedWindow> others;
    others.reserve(heaviest.size());
    for (const auto &entry : heaviest) {
        others.push_back(windows[entry.second]);
    }
    const std::size_t taken = std::min(others.size(), std::size_t(count));
    std::partial_sort(others.begin(), others.begin() + std::ptrdiff_t(taken), others.end(),
                      heavier);
    windows.resize(first);
    windows.insert(windows.end(), others.begin(), others.begin() + std::ptrdiff_t(taken));
}

} // namespace

std::vector<VotedWindow> IndexedSearcher::shortlisted(std::vector<VotedWindow> windows) const
{
    const std::size_t kept =
        std::min(windows.size(), std::size_t(std::max(0, m->options.shortlisted)));
    std::partial_sort(windows.begin(), windows.begin() + std::ptrdiff_t(kept), windows.end(),
                      heavier);
    // And the heaviest window of each of the heaviest maps the shortlist leaves out.
    keep_heaviest_of_other_maps(windows, kept, m->options.other_maps);
    return windows;
}

std::vector<VotedWindow> IndexedSearcher::chosen(std::vector<VotedWindow> windows) const
{
    // Every slice's shortlist holds its part of the whole database's: the same windows, in
    // the same order, come first.
    std::vector<VotedWindow> kept = shortlisted(std::move(windows));
    std::stable_sort(kept.begin(), kept.end(), closer);
    const std::size_t verified =
        std::min(kept.size(), std::size_t(std::max(0, m->options.verified)));
    // Then the closest of maps the first leave out, for something to compare the best with.
    keep_other_maps(kept, verified, m->options.other_maps);
    return kept;
}

void IndexedSearcher::score(std::vector<VotedWindow> &windows) const
{
    const int reach = m->options.reach;
    for (VotedWindow &window : windows) {
        const int map = window.map;
        if (!m->in_slice(map)) {
            continue;
        }
        window.name = m->map_of(map).name;
        // The lowest score around the position, ties to the earlier phase, then x, then y, as
        // the aligned search orders windows of one map.
        std::tuple<float, int, int, int> best{no_best_score, 0, 0, 0};
        window.score = no_best_score;
        window.fitted = no_best_score;
        window.gain = 1;
        window.best_x = window.x;
        window.best_y = window.y;
        for (int dy = -reach; dy <= reach; ++dy) {
            for (int dx = -reach; dx <= reach; ++dx) {
                const int x = window.x + dx;
                const int y = window.y + dy;
                const float score = m->score_at(map, x, y);
                if (!(score < no_best_score)) {
                    continue;
                }
                int px = 0;
                int py = 0;
                int cx = 0;
                int cy = 0;
                m->place(x, y, px, py, cx, cy);
                const std::tuple<float, int, int, int> here{score, py * m->step + px, cx, cy};
                if (here < best) {
                    best = here;
                    window.score = score;
                    window.best_x = x;
                    window.best_y = y;
                }
            }
        }
        if (window.score < no_best_score) {
            const GainFit fit = m->fitted_at(map, window.best_x, window.best_y);
            window.fitted = fit.score;
            window.gain = fit.gain;
        }
    }
}

IndexedSearch IndexedSearcher::result_of(const std::vector<VotedWindow> &scored) const
{
    IndexedSearch result;
    for (const FeatureMap &cells : m->phases) {
        result.any_cells |= cells.has_values();
        result.any_blocks |= cells.width >= key_block_side && cells.height >= key_block_side;
    }
    // Lowest score, then the earlier map, phase, x and y: as the aligned search orders them.
    const VotedWindow *best = nullptr;
    auto order = [&](const VotedWindow &w) {
        int px = 0;
        int py = 0;
        int cx = 0;
        int cy = 0;
        m->place(w.best_x, w.best_y, px, py, cx, cy);
        return std::make_tuple(w.score, w.map, py * m->step + px, cx, cy);
    };
    for (const VotedWindow &window : scored) {
        if (window.score < no_best_score && (!best || order(window) < order(*best))) {
            best = &window;
        }
    }
    result.voted = int(scored.size());
    result.lookups = m->lookups;
    result.entries = m->entries;
    if (!best) {
        return result;
    }
    auto window_of = [&](const VotedWindow &w) {
        int px = 0;
        int py = 0;
        int cx = 0;
        int cy = 0;
        m->place(w.best_x, w.best_y, px, py, cx, cy);
        IndexedWindow found;
        found.window = {cx, cy, w.score, w.name, w.map};
        found.phase = QPoint(px, py);
        found.votes = w.votes;
        found.fitted = w.fitted;
        found.gain = w.gain;
        return found;
    };
    result.best = window_of(*best);
    const FeatureMap &cells = m->phase(result.best->phase.x(), result.best->phase.y());
    result.map_size = QSize(cells.width, cells.height);
    for (qint64 k = 0; k < cells.cell_count(); ++k) {
        result.magnitude += std::fabs(double(cells.values[k]));
    }
    const VotedWindow *runner_up = nullptr;
    for (const VotedWindow &window : scored) {
        if (!(window.score < no_best_score) || window.name == result.best->window.name) {
            continue;
        }
        result.unrelated.push_back(window.score);
        result.unrelated_fitted.push_back(window.fitted);
        if (!runner_up || order(window) < order(*runner_up)) {
            runner_up = &window;
        }
    }
    std::sort(result.unrelated.begin(), result.unrelated.end());
    std::sort(result.unrelated_fitted.begin(), result.unrelated_fitted.end());
    if (runner_up) {
        result.runner_up = window_of(*runner_up);
    }
    return result;
}

IndexedSearch IndexedSearcher::search() const
{
    std::vector<VotedWindow> windows = chosen(votes());
    score(windows);
    return result_of(windows);
}
