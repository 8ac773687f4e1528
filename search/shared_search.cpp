#include "search/shared_search.h"

#include "search/shard_picks.h"
#include "search/window_compare.h"
#include "support/threads.h"

#include <QDataStream>
#include <QIODevice>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// The best or the runner-up of a pick.
using Window = std::optional<MatchCandidate> PatternPick::*;

// Every process's picks, in rank order, their `window` numbered among the maps of the whole
// database.
QList<QList<PatternPick>> gather_picks(Shard &shard, QList<PatternPick> picks, int first,
                                       Window window)
{
    for (PatternPick &pick : picks) {
        if (pick.*window) {
            (pick.*window)->map += first;
        }
    }
    QList<QList<PatternPick>> all;
    const QList<QByteArray> packed = shard.all_gather(pack_picks(picks));
    for (int rank = 0; rank < packed.size(); ++rank) {
        std::optional<QList<PatternPick>> unpacked = unpack_picks(packed[rank], picks.size());
        if (!unpacked) {
            throw std::runtime_error("the picks of process " + std::to_string(rank) +
                                     " arrived damaged");
        }
        all.append(*unpacked);
    }
    return all;
}

// Pattern k's `window` in every slice, in slice order.
QList<std::optional<MatchCandidate>> across_slices(const QList<QList<PatternPick>> &all, int k,
                                                   Window window)
{
    QList<std::optional<MatchCandidate>> windows;
    for (const QList<PatternPick> &slice : all) {
        windows.append(slice[k].*window);
    }
    return windows;
}

// The picks of every slice, gathered on every process: the best of each pattern is the one a
// search of the whole database picks, with the pattern's map of the best's phase.
QList<PatternPick> gather_best(Shard &shard, QList<PatternPick> picks, int first)
{
    const QList<QList<PatternPick>> all = gather_picks(shard, picks, first, &PatternPick::best);
    for (int k = 0; k < picks.size(); ++k) {
        PatternPick &pick = picks[k];
        const int winner = earliest_best(across_slices(all, k, &PatternPick::best));
        pick.best.reset();
        pick.runner_up.reset();
        pick.other_images = false;
        if (winner >= 0) {
            const PatternPick &won = all[winner][k];
            pick.best = won.best;
            pick.phase = won.phase;
            pick.map_width = won.map_width;
            pick.map_height = won.map_height;
            pick.magnitude = won.magnitude;
        }
        pick.found = pick.pattern_name == pick.picked_name();
    }
    return picks;
}

// Each slice's runner-up of the common best and whether it holds other images, gathered.
void gather_runner_ups(Shard &shard, QList<PatternPick> &picks, const QList<PatternPick> &mine,
                       int first)
{
    const QList<QList<PatternPick>> all = gather_picks(shard, mine, first, &PatternPick::runner_up);
    for (int k = 0; k < picks.size(); ++k) {
        const QList<std::optional<MatchCandidate>> windows =
            across_slices(all, k, &PatternPick::runner_up);
        const int lowest = earliest_lowest(windows);
        picks[k].runner_up = lowest >= 0 ? windows[lowest] : std::nullopt;
        picks[k].other_images = false;
        for (const QList<PatternPick> &slice : all) {
            picks[k].other_images |= slice[k].other_images;
        }
    }
}

// A slice that does not hold the crop proves its own best at the cost of a search that finds
// nothing (rounds of growing tolerance, then full scans): instead, every process looks only for
// windows scoring at most a common limit, growing round by round as one search's limit grows
// (to where the windows left above it start, as far as any slice saw), and a pattern is settled
// as soon as some slice has a window within it (every window within the limit was seen
// everywhere, so the lowest of them is the best). Patterns still open after the rounds are
// searched without a limit.
class BoundedRounds
{
public:
    BoundedRounds(Shard &shard, const SearchStrategy &strategy, const QList<FeatureMap> &patterns,
                  int first, int threads)
        : m_shard(shard)
        , m_strategy(strategy)
        , m_patterns(patterns)
        , m_first(first)
        , m_threads(threads)
        , m_state(static_cast<std::size_t>(patterns.size()))
    {
        for (int k = 0; k < patterns.size(); ++k) {
            m_settled.append(std::nullopt);
        }
    }

    QList<PatternPick> run()
    {
        bool last = false;
        for (int round = 0;; ++round) {
            const QList<int> open = open_patterns();
            if (open.isEmpty()) {
                break;
            }
            play(open, last);
            if (last) {
                break;
            }
            // Patterns whose limit reached the cut-off wait for the last round: when only those
            // are left, it comes next.
            last = round + 1 == rounds || only_top_left();
        }
        QList<PatternPick> picks;
        for (const std::optional<PatternPick> &pick : m_settled) {
            picks.append(*pick);
        }
        return picks;
    }

private:
    static constexpr int rounds = 12; // and a last one without a limit
    // Limits stay below the cut-off score: windows cut off are found by the last round alone.
    const double highest_limit = double(std::nextafter(cut_off_score, 0.0f));

    // Each process starts from its own first limit (its search's estimate of an exact match's
    // score, which depends on its cells); from the second round on the limit is common.
    struct Open {
        bool started = false;
        double limit = 0;
        float bound = 0;           // searched up to, in the last round
        double least_rejected = 0; // this slice's, in the last round
    };
    // How far every slice looked at each open pattern, and where the windows it left above start.
    struct Looked {
        std::vector<float> bound;
        std::vector<double> least_rejected;
    };

    Open &state_of(int pattern) { return m_state[static_cast<std::size_t>(pattern)]; }

    QList<int> open_patterns() const
    {
        QList<int> open;
        for (int k = 0; k < m_patterns.size(); ++k) {
            if (!m_settled[k]) {
                open.append(k);
            }
        }
        return open;
    }

    void play(const QList<int> &open, bool last)
    {
        const QList<PatternPick> gathered = gather_best(m_shard, search(open, last), m_first);
        const Looked looked = looked_everywhere(open);
        for (int n = 0; n < open.size(); ++n) {
            Open &state = state_of(open[n]);
            const float common = looked.bound[std::size_t(n)];
            const double limit = common;
            // Every slice saw every window up to the common limit: a best within it is the
            // best. A pattern without cells has its answer at once.
            if ((gathered[n].best && gathered[n].best->score <= common) || !gathered[n].any_cells ||
                last) {
                m_settled[open[n]] = gathered[n];
                state = Open();
            } else if (limit < highest_limit) {
                const double least = looked.least_rejected[std::size_t(n)];
                state.limit = std::max(4 * limit, std::min(least, 64 * limit));
            } else {
                // Nothing below the cut-off anywhere: the last round decides.
                state.limit = highest_limit;
            }
        }
    }

    // This slice's picks of the open patterns within their limits. A pattern's search lives for
    // one round: patterns may be many, the rounds after the first search few of them.
    QList<PatternPick> search(const QList<int> &open, bool last)
    {
        QList<PatternPick> mine;
        ordered_parallel<PatternPick>(
            open.size(), thread_count(m_threads),
            [&](int n) {
                Open &state = state_of(open[n]);
                const std::unique_ptr<BoundedSearch> bounded =
                    m_strategy.bounded(m_patterns[open[n]]);
                if (!state.started) {
                    state.started = true;
                    state.limit = bounded->first_limit();
                }
                state.bound =
                    last ? no_best_score : static_cast<float>(std::min(state.limit, highest_limit));
                BoundedSearch::Result found = bounded->best_within(state.bound);
                state.least_rejected = found.least_rejected;
                return found.pick;
            },
            [&](int, PatternPick &pick) {
                mine.append(pick);
                return true;
            });
        return mine;
    }

    Looked looked_everywhere(const QList<int> &open)
    {
        QByteArray looked;
        QDataStream out(&looked, QIODevice::WriteOnly);
        for (int k : open) {
            out << state_of(k).bound << state_of(k).least_rejected;
        }
        Looked everywhere{std::vector<float>(static_cast<std::size_t>(open.size()), no_best_score),
                          std::vector<double>(static_cast<std::size_t>(open.size()),
                                              std::numeric_limits<double>::infinity())};
        for (const QByteArray &bytes : m_shard.all_gather(looked)) {
            QDataStream in(bytes);
            for (std::size_t n = 0; n < everywhere.bound.size(); ++n) {
                float bound = 0;
                double rejected = 0;
                in >> bound >> rejected;
                everywhere.bound[n] = std::min(everywhere.bound[n], bound);
                everywhere.least_rejected[n] = std::min(everywhere.least_rejected[n], rejected);
            }
            if (in.status() != QDataStream::Ok) {
                throw std::runtime_error("the limits of a process arrived damaged");
            }
        }
        return everywhere;
    }

    bool only_top_left() const
    {
        for (int k = 0; k < m_patterns.size(); ++k) {
            if (!m_settled[k] && m_state[static_cast<std::size_t>(k)].limit < highest_limit) {
                return false;
            }
        }
        return true;
    }

    Shard &m_shard;
    const SearchStrategy &m_strategy;
    const QList<FeatureMap> &m_patterns;
    int m_first;
    int m_threads;
    std::vector<Open> m_state;
    QList<std::optional<PatternPick>> m_settled;
};

} // namespace

QList<PatternPick> shared_best_picks(Shard &shard, SearchStrategy &strategy,
                                     const QList<FeatureMap> &patterns, int first, int threads,
                                     const SearchStrategy::Progress &progress)
{
    if (strategy.exchanges()) {
        return strategy.best_picks_exchanging(
            patterns, [&](const QByteArray &mine) { return shard.all_gather(mine); }, progress);
    }
    if (!strategy.searches_within_bounds()) {
        return gather_best(shard, strategy.best_picks(patterns, progress), first);
    }
    const QList<PatternPick> picks = BoundedRounds(shard, strategy, patterns, first, threads).run();
    if (progress) {
        progress(patterns.size(), patterns.size());
    }
    return picks;
}

void shared_runner_ups(Shard &shard, SearchStrategy &strategy, const QList<FeatureMap> &patterns,
                       QList<PatternPick> &picks, int first, bool runner_up)
{
    if (strategy.exchanges() || (!runner_up && !strategy.tells_other_images())) {
        return;
    }
    QList<PatternPick> mine = picks;
    for (PatternPick &pick : mine) {
        pick.runner_up.reset();
        pick.other_images = false;
    }
    strategy.find_runner_ups(patterns, mine, runner_up);
    gather_runner_ups(shard, picks, mine, first);
}
