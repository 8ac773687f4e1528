#include "search/literal_strategy.h"

#include "maps/descriptor.h"
#include "search/crop_location.h"

namespace {

class LiteralStrategy : public SearchStrategy
{
public:
    LiteralStrategy(const WindowSettings &settings, const SearchSlice &slice,
                    const SearchOptions &options)
        : m_settings(settings)
        , m_slice(slice)
        , m_threads(options.threads)
        , m_before_reading(options.before_reading)
    {}

    QList<PatternPick> best_picks(const QList<FeatureMap> &patterns,
                                  const Progress &progress) override
    {
        // Every window of every map is scored.
        for (int map = 0; m_before_reading && map < m_slice.maps.size(); ++map) {
            m_before_reading(m_slice.first + map);
        }
        QList<PatternPick> picks;
        for (const FeatureMap &pattern : patterns) {
            picks.append(best_pick(pattern));
            if (progress) {
                progress(picks.size(), patterns.size());
            }
        }
        return picks;
    }

    // Only the runner-up's search tells other images.
    void find_runner_ups(const QList<FeatureMap> &patterns, QList<PatternPick> &picks,
                         bool runner_up) override
    {
        for (int k = 0; k < patterns.size() && runner_up; ++k) {
            PatternPick &pick = picks[k];
            if (!pick.best) {
                continue;
            }
            const RunnerUp found = runner_up_window(descriptor_map(patterns[k], m_settings),
                                                    m_slice.maps, m_threads, *pick.best);
            pick.runner_up = found.window;
            pick.other_images = found.other_images;
        }
    }

    void locate_crops(const QList<FeatureMap> &patterns, QList<PatternPick> &picks,
                      const QList<FeatureMap> &database) override
    {
        for (int k = 0; k < patterns.size() && k < picks.size(); ++k) {
            PatternPick &pick = picks[k];
            const int map = pick.best ? picked_map(*pick.best, database) : -1;
            if (map < 0) {
                continue;
            }
            const std::optional<LocatedCrop> located =
                locate_crop(patterns[k], database[map], m_settings, {pick.best->x, pick.best->y});
            if (located) {
                pick.corner = located->corner;
            }
        }
    }

private:
    // The best's map in the whole database: its number when that map bears its name, else the
    // first map of its name.
    static int picked_map(const MatchCandidate &best, const QList<FeatureMap> &database)
    {
        if (best.map >= 0 && best.map < database.size() && database[best.map].name == best.name) {
            return best.map;
        }
        for (int m = 0; m < database.size(); ++m) {
            if (database[m].name == best.name) {
                return m;
            }
        }
        return -1;
    }

    PatternPick best_pick(const FeatureMap &pattern) const
    {
        PatternPick pick;
        pick.pattern_name = pattern.name;
        const FeatureMap descriptor = descriptor_map(pattern, m_settings);
        pick.map_width = descriptor.width;
        pick.map_height = descriptor.height;
        pick.any_cells = descriptor.has_values();
        pick.best = best_window(descriptor, m_slice.maps, m_threads);
        pick.found = pattern.name == pick.picked_name();
        return pick;
    }

    WindowSettings m_settings;
    SearchSlice m_slice;
    int m_threads;
    std::function<void(int map)> m_before_reading;
};

} // namespace

std::unique_ptr<SearchStrategy> make_literal_strategy(const WindowSettings &settings,
                                                      const SearchSlice &slice,
                                                      const SearchOptions &options)
{
    return std::make_unique<LiteralStrategy>(settings, slice, options);
}
