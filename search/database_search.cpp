#include "search/database_search.h"

#include "maps/centre_descriptor.h"
#include "maps/descriptor.h"
#include "search/aligned_search.h"
#include "search/best_window.h"
#include "search/cell_index.h"
#include "support/console.h"
#include "support/threads.h"
#include "support/tick_clock.h"

#include <chrono>
#include <atomic>
#include <locale>
#include <memory>
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
    pick.any_cells = descriptor.has_values();
    pick.best = best_window(descriptor, database, threads);
    pick.found = pattern.name == pick.picked_name();
    return pick;
}

// Patterns are searched side by side: each search on one thread.
PatternPick search_aligned(const WindowSettings &settings, const FeatureMap &pattern,
                           const QList<FeatureMap> &database, const CellIndex &index)
{
    PatternPick pick;
    pick.pattern_name = pattern.name;
    CentreDescriptor centres(pattern, settings);
    AlignedSearcher searcher(centres, database, index, 1);
    const AlignedSearch found = searcher.best();
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
    pick.found = pattern.name == pick.picked_name();
    return pick;
}

void find_aligned_runner_up(const WindowSettings &settings, const FeatureMap &pattern,
                            const QList<FeatureMap> &database, const CellIndex &index,
                            PatternPick &pick)
{
    if (!pick.best) {
        return;
    }
    CentreDescriptor centres(pattern, settings);
    AlignedSearcher searcher(centres, database, index, 1);
    const std::optional<AlignedWindow> runner_up =
        searcher.runner_up(AlignedWindow{*pick.best, pick.phase});
    if (runner_up) {
        pick.runner_up = runner_up->window;
    }
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
    const bool aligned = options.mode == SearchMode::aligned;
    // The literal search needs no index: an empty one stands in.
    CellIndex own_index;
    if (aligned && !options.index) {
        own_index = CellIndex(database);
    }
    const CellIndex &index = options.index ? *options.index : own_index;
    const auto clock = options.clock ? options.clock : tick_ms;
    const std::uint32_t start = clock();
    const auto started = std::chrono::steady_clock::now();
    if (aligned) {
        ordered_parallel<PatternPick>(
            patterns.size(), thread_count(options.threads),
            [&](int k) { return search_aligned(settings, patterns[k], database, index); },
            [&](int, PatternPick &pick) {
                outcome.picks.append(pick);
                outcome.found += pick.found ? 1 : 0;
                if (options.progress) {
                    options.progress(outcome.picks.size(), patterns.size());
                }
                return true;
            });
    } else {
        for (const FeatureMap &pattern : patterns) {
            outcome.picks.append(search_one(settings, pattern, database, options.threads));
            outcome.found += outcome.picks.last().found ? 1 : 0;
            if (options.progress) {
                options.progress(outcome.picks.size(), patterns.size());
            }
        }
    }
    outcome.elapsed_ms = ticks_between(start, clock());
    outcome.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
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
    if (options.runner_up && aligned) {
        std::atomic<int> next{0};
        run_on_threads(thread_count(options.threads), [&] {
            for (int k = next++; k < patterns.size(); k = next++) {
                find_aligned_runner_up(settings, patterns[k], database, index, outcome.picks[k]);
            }
        });
    }
    for (int k = 0; k < patterns.size() && options.runner_up && !aligned; ++k) {
        find_runner_up(settings, patterns[k], database, options.threads, outcome.picks[k]);
    }
    return outcome;
}
