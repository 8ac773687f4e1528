#include "search/aligned_strategy.h"

#include "maps/centre_descriptor.h"
#include "search/cell_index.h"
#include "support/threads.h"

#include <atomic>

namespace {

// The pick of a pattern's aligned search.
PatternPick pick_of(const QString &pattern_name, const AlignedSearch &found,
                    const CentreDescriptor &centres)
{
    PatternPick pick;
    pick.pattern_name = pattern_name;
    pick.any_cells = found.any_cells;
    const QSize size = found.best ? found.map_size : centres.phase_size(0, 0);
    pick.map_width = size.width();
    pick.map_height = size.height();
    pick.magnitude = found.magnitude;
    pick.other_images = found.other_images;
    if (found.best) {
        pick.best = found.best->window;
        pick.phase = found.best->phase;
    }
    pick.found = pattern_name == pick.picked_name();
    return pick;
}

// A pattern's searcher, with the centres it reads.
struct PatternSearch {
    PatternSearch(const FeatureMap &pattern, const WindowSettings &settings,
                  const QList<FeatureMap> &database, const CellIndex &index,
                  const std::function<void(int map)> &before_reading)
        : name(pattern.name)
        , centres(pattern, settings)
        , searcher(centres, database, index, 1, before_reading)
    {}

    QString name;
    CentreDescriptor centres;
    AlignedSearcher searcher;
};

class Bounded : public BoundedSearch
{
public:
    Bounded(const FeatureMap &pattern, const WindowSettings &settings,
            const QList<FeatureMap> &database, const CellIndex &index,
            const std::function<void(int map)> &before_reading)
        : m_search(pattern, settings, database, index, before_reading)
    {}

    double first_limit() const override { return m_search.searcher.first_limit(); }

    Result best_within(float bound) override
    {
        const AlignedSearch found = m_search.searcher.best_within(bound);
        return {pick_of(m_search.name, found, m_search.centres), found.least_rejected};
    }

private:
    PatternSearch m_search;
};

class AlignedStrategy : public SearchStrategy
{
public:
    AlignedStrategy(const WindowSettings &settings, const SearchSlice &slice,
                    const SearchOptions &options)
        : m_settings(settings)
        , m_slice(slice)
        , m_threads(options.threads)
    {
        // The slice's maps are numbered from 0 in the searches, in the database from its first.
        if (options.before_reading) {
            m_before_reading = [before = options.before_reading, first = slice.first](int map) {
                before(first + map);
            };
        }
        // A slice sees the database's index from its first map, or sorts its own cells when
        // there is none.
        if (options.index && slice.whole) {
            m_index = options.index;
        } else {
            m_own_index =
                options.index ? options.index->slice_from(slice.first) : CellIndex(slice.maps);
            m_index = &m_own_index;
        }
    }

    QList<PatternPick> best_picks(const QList<FeatureMap> &patterns,
                                  const Progress &progress) override
    {
        QList<PatternPick> picks;
        ordered_parallel<PatternPick>(
            patterns.size(), thread_count(m_threads),
            [&](int k) {
                PatternSearch search(patterns[k], m_settings, m_slice.maps, *m_index,
                                     m_before_reading);
                return pick_of(search.name, search.searcher.best(), search.centres);
            },
            [&](int, PatternPick &pick) {
                picks.append(pick);
                if (progress) {
                    progress(picks.size(), patterns.size());
                }
                return true;
            });
        return picks;
    }

    void find_runner_ups(const QList<FeatureMap> &patterns, QList<PatternPick> &picks,
                         bool runner_up) override
    {
        // Written by several threads: a vector, which never shares its items.
        std::vector<PatternPick> written(picks.begin(), picks.end());
        std::atomic<int> next{0};
        run_on_threads(thread_count(m_threads), [&] {
            for (int k = next++; k < patterns.size(); k = next++) {
                find_runner_up(patterns[k], written[static_cast<std::size_t>(k)], runner_up);
            }
        });
        picks = QList<PatternPick>(written.begin(), written.end());
    }

    bool tells_other_images() const override { return true; }

    std::unique_ptr<BoundedSearch> bounded(const FeatureMap &pattern) const override
    {
        return std::make_unique<Bounded>(pattern, m_settings, m_slice.maps, *m_index,
                                         m_before_reading);
    }
    bool searches_within_bounds() const override { return true; }

private:
    // Whether the slice holds other images with windows, and with `runner_up` the best of them.
    void find_runner_up(const FeatureMap &pattern, PatternPick &pick, bool runner_up) const
    {
        if (!pick.best) {
            return;
        }
        PatternSearch search(pattern, m_settings, m_slice.maps, *m_index, m_before_reading);
        pick.other_images = search.searcher.has_other_images(pick.best->name);
        if (!runner_up) {
            return;
        }
        const std::optional<AlignedWindow> found =
            search.searcher.runner_up(AlignedWindow{*pick.best, pick.phase});
        if (found) {
            pick.runner_up = found->window;
        }
    }

    WindowSettings m_settings;
    SearchSlice m_slice;
    int m_threads;
    std::function<void(int map)> m_before_reading;
    CellIndex m_own_index; // when the database's index does not serve the slice as it is
    const CellIndex *m_index = nullptr;
};

} // namespace

std::unique_ptr<SearchStrategy> make_aligned_strategy(const WindowSettings &settings,
                                                      const SearchSlice &slice,
                                                      const SearchOptions &options)
{
    return std::make_unique<AlignedStrategy>(settings, slice, options);
}
