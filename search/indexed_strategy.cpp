#include "search/indexed_strategy.h"

#include "maps/centre_descriptor.h"
#include "search/aligned_search.h"
#include "search/cell_index.h"
#include "search/shard_picks.h"
#include "support/threads.h"

#include <QDataStream>
#include <QIODevice>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace {

// An exact match scores about the aligned search's first limit; a few times that still finds
// nothing but exact matches.
constexpr double exact_limits = 4;

// A pattern whose votes name no window clearly is asked again with this many times the blocks.
constexpr int escalation = 4;

// Patterns searched between two exchanges: each holds its descriptor at every centre.
constexpr int batch_size = 64;

void put(QDataStream &out, const VotedWindow &w)
{
    out << qint32(w.map) << qint32(w.x) << qint32(w.y) << qint32(w.votes) << w.weight << w.probed
        << double(w.score) << qint32(w.best_x) << qint32(w.best_y) << w.name;
}

VotedWindow take(QDataStream &in)
{
    qint32 map = 0;
    qint32 x = 0;
    qint32 y = 0;
    qint32 votes = 0;
    qint32 best_x = 0;
    qint32 best_y = 0;
    double score = 0;
    VotedWindow w;
    in >> map >> x >> y >> votes >> w.weight >> w.probed >> score >> best_x >> best_y >> w.name;
    w.map = map;
    w.x = x;
    w.y = y;
    w.votes = votes;
    w.score = float(score);
    w.best_x = best_x;
    w.best_y = best_y;
    return w;
}

// The windows of several patterns, to travel between the slices.
QByteArray pack_windows(const std::vector<std::vector<VotedWindow>> &windows)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    for (const std::vector<VotedWindow> &list : windows) {
        out << quint32(list.size());
        for (const VotedWindow &w : list) {
            put(out, w);
        }
    }
    return bytes;
}

// Every slice's windows of each pattern, one after the other in slice order.
std::vector<std::vector<VotedWindow>> unpack_windows(const QList<QByteArray> &slices, int count)
{
    std::vector<std::vector<VotedWindow>> windows(static_cast<std::size_t>(count));
    for (const QByteArray &bytes : slices) {
        QDataStream in(bytes);
        for (std::vector<VotedWindow> &list : windows) {
            quint32 size = 0;
            in >> size;
            for (quint32 k = 0; k < size && in.status() == QDataStream::Ok; ++k) {
                list.push_back(take(in));
            }
        }
        if (in.status() != QDataStream::Ok || !in.atEnd()) {
            throw std::runtime_error("the windows of a process arrived damaged");
        }
    }
    return windows;
}

// Whether votes named a window clearly enough not to ask again: one far closer than any other
// image's and close to the pattern (the indexed verdicts' found).
bool conclusive(const IndexedSearch &found)
{
    if (!found.best) {
        return false;
    }
    const double runner_up = found.runner_up ? double(found.runner_up->window.score) : 0;
    const double median =
        found.unrelated.empty() ? 0 : double(found.unrelated[found.unrelated.size() / 2]);
    return stands_out(found.best->window.score, found.magnitude,
                      found.runner_up ? &runner_up : nullptr, int(found.unrelated.size()), median);
}

PatternPick pick_of(const QString &name, const IndexedSearch &found, QSize first_phase)
{
    PatternPick pick;
    pick.pattern_name = name;
    pick.picked_by = PickedBy::votes;
    pick.any_cells = found.any_cells;
    const QSize size = found.best ? found.map_size : first_phase;
    pick.map_width = size.width();
    pick.map_height = size.height();
    pick.magnitude = found.magnitude;
    if (found.best) {
        pick.best = found.best->window;
        pick.phase = found.best->phase;
        pick.votes = found.best->votes;
    }
    if (found.runner_up) {
        pick.runner_up = found.runner_up->window;
    }
    pick.other_images = !found.unrelated.empty();
    pick.unrelated = int(found.unrelated.size());
    if (!found.unrelated.empty()) {
        pick.unrelated_median = found.unrelated[found.unrelated.size() / 2];
    }
    pick.found = name == pick.picked_name();
    return pick;
}

// One pattern's searches, kept between the exchanges of a batch.
struct PatternSearches {
    PatternSearches(const FeatureMap &pattern, const WindowSettings &settings,
                    const QList<FeatureMap> &slice, const CellIndex &cells,
                    const std::function<void(int map)> &before_reading)
        : name(pattern.name)
        , centres(pattern, settings)
        , exact(centres, slice, cells, 1, before_reading)
    {}

    QString name;
    CentreDescriptor centres;
    AlignedSearcher exact;
    std::unique_ptr<IndexedSearcher> votes;
};

class IndexedStrategy : public SearchStrategy
{
public:
    IndexedStrategy(const WindowSettings &settings, const SearchSlice &slice,
                    const SearchOptions &options)
        : m_settings(settings)
        , m_slice(slice)
        , m_threads(options.threads)
        , m_before(options.before_reading)
    {
        if (options.index && slice.whole) {
            m_cells = options.index;
        } else {
            m_own_cells =
                options.index ? options.index->slice_from(slice.first) : CellIndex(slice.maps);
            m_cells = &m_own_cells;
        }
        // The candidate index numbers maps in the whole database; a slice's own is made so.
        if (options.candidates) {
            m_candidates = options.candidates;
        } else {
            m_own_candidates = CandidateIndex(candidate_arrays(slice.maps, slice.first));
            m_candidates = &m_own_candidates;
        }
    }

    QList<PatternPick> best_picks(const QList<FeatureMap> &patterns,
                                  const Progress &progress) override
    {
        return best_picks_exchanging(
            patterns, [](const QByteArray &mine) { return QList<QByteArray>{mine}; }, progress);
    }

    // Runner-ups come with the picks.
    void find_runner_ups(const QList<FeatureMap> &, QList<PatternPick> &, bool) override {}
    bool exchanges() const override { return true; }

    QList<PatternPick> best_picks_exchanging(const QList<FeatureMap> &patterns,
                                             const Exchange &exchange,
                                             const Progress &progress) override
    {
        QList<PatternPick> picks;
        for (int first = 0; first < patterns.size(); first += batch_size) {
            const QList<FeatureMap> batch = patterns.mid(first, batch_size);
            picks.append(search_batch(batch, exchange));
            if (progress) {
                progress(picks.size(), patterns.size());
            }
        }
        return picks;
    }

private:
    // Runs step(k) for every open pattern k of the batch on the threads.
    template <class Step> void each(const std::vector<int> &open, Step step) const
    {
        ordered_parallel<int>(
            int(open.size()), thread_count(m_threads),
            [&](int n) {
                step(open[std::size_t(n)]);
                return 0;
            },
            [](int, int &) { return true; });
    }

    // Announcements of maps numbered in the database, and in the slice.
    std::function<void(int map)> before_reading() const { return m_before; }
    std::function<void(int map)> local_reading() const
    {
        if (!m_before) {
            return {};
        }
        return [before = m_before, first = m_slice.first](int map) { before(first + map); };
    }

    QList<PatternPick> search_batch(const QList<FeatureMap> &patterns, const Exchange &exchange)
    {
        const int count = patterns.size();
        std::vector<std::unique_ptr<PatternSearches>> searches(static_cast<std::size_t>(count));
        std::vector<int> all;
        for (int k = 0; k < count; ++k) {
            all.push_back(k);
        }
        each(all, [&](int k) {
            searches[std::size_t(k)] = std::make_unique<PatternSearches>(
                patterns[k], m_settings, m_slice.maps, *m_cells, local_reading());
        });
        QList<PatternPick> picks = exact_picks(searches, exchange);
        std::vector<int> open;
        for (int k = 0; k < count; ++k) {
            if (picks[k].picked_by != PickedBy::exact) {
                open.push_back(k);
            }
        }
        IndexedOptions options;
        std::vector<IndexedSearch> found = voted(searches, open, options, exchange);
        std::vector<int> again;
        for (std::size_t n = 0; n < open.size(); ++n) {
            if (!conclusive(found[n]) && found[n].any_blocks) {
                again.push_back(open[n]);
            }
        }
        options.blocks_per_phase *= escalation;
        options.shortlisted *= escalation;
        options.verified *= escalation;
        const std::vector<IndexedSearch> asked_again = voted(searches, again, options, exchange);
        for (std::size_t n = 0, a = 0; n < open.size(); ++n) {
            const bool retried = a < again.size() && again[a] == open[n];
            const IndexedSearch &result = retried ? asked_again[a++] : found[n];
            picks[open[n]] = pick_of(patterns[open[n]].name, result,
                                     searches[std::size_t(open[n])]->centres.phase_size(0, 0));
        }
        return picks;
    }

    // Each pattern's window matching to the database's rounding, when it has one: the best of
    // every slice's is the best.
    QList<PatternPick> exact_picks(std::vector<std::unique_ptr<PatternSearches>> &searches,
                                   const Exchange &exchange)
    {
        const int count = int(searches.size());
        std::vector<PatternPick> mine(static_cast<std::size_t>(count));
        std::vector<int> all;
        for (int k = 0; k < count; ++k) {
            all.push_back(k);
        }
        each(all, [&](int k) {
            PatternSearches &search = *searches[std::size_t(k)];
            const AlignedSearch exact =
                search.exact.best_within(float(exact_limits * search.exact.first_limit()), true);
            PatternPick &pick = mine[std::size_t(k)];
            pick.pattern_name = search.name;
            pick.any_cells = exact.any_cells;
            if (exact.best) {
                pick.best = exact.best->window;
                pick.best->map += m_slice.first;
                pick.phase = exact.best->phase;
                pick.map_width = exact.map_size.width();
                pick.map_height = exact.map_size.height();
                pick.magnitude = exact.magnitude;
            }
        });
        const QList<QList<PatternPick>> slices =
            unpacked(exchange(pack_picks(QList<PatternPick>(mine.begin(), mine.end()))), count);
        QList<PatternPick> picks;
        for (int k = 0; k < count; ++k) {
            QList<std::optional<MatchCandidate>> windows;
            for (const QList<PatternPick> &slice : slices) {
                windows.append(slice[k].best);
            }
            const int winner = earliest_lowest(windows);
            PatternPick pick = winner >= 0 ? slices[winner][k] : mine[std::size_t(k)];
            pick.pattern_name = searches[std::size_t(k)]->name;
            pick.picked_by = winner >= 0 ? PickedBy::exact : PickedBy::votes;
            pick.found = pick.pattern_name == pick.picked_name();
            picks.append(pick);
        }
        exact_runner_ups(searches, picks, exchange);
        return picks;
    }

    // The runner-ups of the exact picks, as the aligned search finds them, of every slice.
    void exact_runner_ups(std::vector<std::unique_ptr<PatternSearches>> &searches,
                          QList<PatternPick> &picks, const Exchange &exchange)
    {
        const int count = int(searches.size());
        std::vector<PatternPick> mine(static_cast<std::size_t>(count));
        std::vector<int> exact;
        for (int k = 0; k < count; ++k) {
            if (picks[k].picked_by == PickedBy::exact) {
                exact.push_back(k);
            }
        }
        each(exact, [&](int k) {
            PatternSearches &search = *searches[std::size_t(k)];
            PatternPick &pick = mine[std::size_t(k)];
            MatchCandidate best = *picks[k].best;
            best.map -= m_slice.first;
            pick.other_images = search.exact.has_other_images(best.name);
            const std::optional<AlignedWindow> second =
                search.exact.runner_up(AlignedWindow{best, picks[k].phase});
            if (second) {
                pick.runner_up = second->window;
                pick.runner_up->map += m_slice.first;
            }
        });
        const QList<QList<PatternPick>> slices =
            unpacked(exchange(pack_picks(QList<PatternPick>(mine.begin(), mine.end()))), count);
        for (int k : exact) {
            QList<std::optional<MatchCandidate>> windows;
            bool other_images = false;
            for (const QList<PatternPick> &slice : slices) {
                windows.append(slice[k].runner_up);
                other_images |= slice[k].other_images;
            }
            const int lowest = earliest_lowest(windows);
            picks[k].runner_up = lowest >= 0 ? windows[lowest] : std::nullopt;
            picks[k].other_images = other_images;
        }
    }

    // The votes of the open patterns, exchanged, chosen, scored where their maps are, and
    // exchanged again.
    std::vector<IndexedSearch> voted(std::vector<std::unique_ptr<PatternSearches>> &searches,
                                     const std::vector<int> &open, const IndexedOptions &options,
                                     const Exchange &exchange)
    {
        const int count = int(open.size());
        std::vector<std::vector<VotedWindow>> mine(static_cast<std::size_t>(count));
        std::vector<int> numbered;
        for (int n = 0; n < count; ++n) {
            numbered.push_back(n);
        }
        each(numbered, [&](int n) {
            PatternSearches &search = *searches[std::size_t(open[std::size_t(n)])];
            if (search.votes) {
                search.votes->set_options(options);
            } else {
                search.votes =
                    std::make_unique<IndexedSearcher>(search.centres, m_slice.maps, *m_candidates,
                                                      m_slice.first, options, before_reading());
            }
            mine[std::size_t(n)] = search.votes->votes();
        });
        std::vector<std::vector<VotedWindow>> chosen =
            unpack_windows(exchange(pack_windows(mine)), count);
        each(numbered, [&](int n) {
            const IndexedSearcher &votes = *searches[std::size_t(open[std::size_t(n)])]->votes;
            std::vector<VotedWindow> &windows = chosen[std::size_t(n)];
            windows = votes.chosen(std::move(windows));
            votes.score(windows);
            // Only this slice's, which it scored.
            windows.erase(std::remove_if(windows.begin(), windows.end(),
                                         [&](const VotedWindow &w) {
                                             return w.map < m_slice.first ||
                                                    w.map >= m_slice.first + m_slice.maps.size();
                                         }),
                          windows.end());
        });
        const std::vector<std::vector<VotedWindow>> scored =
            unpack_windows(exchange(pack_windows(chosen)), count);
        std::vector<IndexedSearch> results(static_cast<std::size_t>(count));
        each(numbered, [&](int n) {
            results[std::size_t(n)] = searches[std::size_t(open[std::size_t(n)])]->votes->result_of(
                scored[std::size_t(n)]);
        });
        return results;
    }

    static QList<QList<PatternPick>> unpacked(const QList<QByteArray> &slices, int count)
    {
        QList<QList<PatternPick>> all;
        for (int rank = 0; rank < slices.size(); ++rank) {
            std::optional<QList<PatternPick>> picks = unpack_picks(slices[rank], count);
            if (!picks) {
                throw std::runtime_error("the picks of process " + std::to_string(rank) +
                                         " arrived damaged");
            }
            all.append(*picks);
        }
        return all;
    }

    WindowSettings m_settings;
    SearchSlice m_slice;
    int m_threads;
    std::function<void(int map)> m_before;
    CellIndex m_own_cells;
    const CellIndex *m_cells = nullptr;
    CandidateIndex m_own_candidates;
    const CandidateIndex *m_candidates = nullptr;
};

} // namespace

std::unique_ptr<SearchStrategy> make_indexed_strategy(const WindowSettings &settings,
                                                      const SearchSlice &slice,
                                                      const SearchOptions &options)
{
    return std::make_unique<IndexedStrategy>(settings, slice, options);
}
