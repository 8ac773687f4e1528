#include "search/database_search.h"

#include "maps/descriptor.h"
#include "search/best_window.h"
#include "support/console.h"
#include "support/tick_clock.h"

#include <locale>
#include <sstream>

std::string format_rate(float rate)
{
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << static_cast<double>(rate);
    return text.str();
}

namespace {

PatternPick search_one(const WindowSettings &settings, const FeatureMap &pattern,
                       const QList<FeatureMap> &database, int threads)
{
    PatternPick pick;
    pick.pattern_name = pattern.name;
    const FeatureMap descriptor = descriptor_map(pattern, settings);
    pick.map_width = descriptor.width;
    pick.map_height = descriptor.height;
    pick.best = best_window(descriptor, database, threads);
    pick.found = pattern.name == pick.picked_name();
    return pick;
}

void find_runner_up(const WindowSettings &settings, const FeatureMap &pattern,
                    const QList<FeatureMap> &database, int threads, PatternPick &pick)
{
    if (!pick.best) {
        return;
    }
    const RunnerUp runner_up =
        runner_up_window(descriptor_map(pattern, settings), database, threads, *pick.best);
    pick.runner_up = runner_up.window;
    pick.other_images = runner_up.other_images;
}

} // namespace

SearchOutcome search_patterns(const WindowSettings &settings, const QList<FeatureMap> &patterns,
                              const QList<FeatureMap> &database, const SearchOptions &options)
{
    SearchOutcome outcome;
    if (database.isEmpty()) {
        console::write("database is empty, exiting...\n");
        return outcome;
    }
    if (refuse_invalid(settings)) {
        outcome.status = SearchStatus::invalid_settings;
        return outcome;
    }
    const auto clock = options.clock ? options.clock : tick_ms;
    const std::uint32_t start = clock();
    for (const FeatureMap &pattern : patterns) {
        outcome.picks.append(search_one(settings, pattern, database, options.threads));
        outcome.found += outcome.picks.last().found ? 1 : 0;
        if (options.progress) {
            options.progress(outcome.picks.size(), patterns.size());
        }
    }
    outcome.elapsed_ms = ticks_between(start, clock());
    outcome.patterns = patterns.size();
    if (outcome.patterns == 0) {
        console::write("no patterns to search\n");
        outcome.status = SearchStatus::no_patterns;
        return outcome;
    }
    outcome.status = SearchStatus::searched;
    outcome.rate = static_cast<float>(double(outcome.found) / outcome.patterns * 100.0);
    const int average = static_cast<std::int32_t>(outcome.elapsed_ms) / outcome.patterns;
    console::write(std::to_string(average) + "\t" + format_rate(outcome.rate) + "\n");
    // Outside the timed search: the figures above are those of the search alone.
    for (int k = 0; k < patterns.size() && options.runner_up; ++k) {
        find_runner_up(settings, patterns[k], database, options.threads, outcome.picks[k]);
    }
    return outcome;
}
