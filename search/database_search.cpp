#include "search/database_search.h"

#include "search/search_strategy.h"
#include "search/shared_search.h"
#include "support/console.h"
#include "support/shard.h"
#include "support/tick_clock.h"

#include <chrono>
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

void write_rate_line(const SearchOutcome &outcome)
{
    const int average = static_cast<std::int32_t>(outcome.elapsed_ms) / outcome.patterns;
    console::write(std::to_string(average) + "\t" + format_rate(outcome.rate) + "\n");
}

namespace {

// Shared work: each process searches its slice of the database.
SearchSlice slice_of(const QList<FeatureMap> &database, Shard *shard)
{
    if (!shard) {
        return {database, 0, true};
    }
    const auto range = shard_slice(database.size(), shard->rank(), shard->ranks());
    return {database.mid(range.first, range.second - range.first), range.first, false};
}

// The refusals before any search, with their console lines: false when nothing is searched.
bool searchable(const WindowSettings &settings, const QList<FeatureMap> &database,
                SearchOutcome &outcome)
{
    if (database.isEmpty()) {
        console::write("database is empty, exiting...\n");
        return false;
    }
    if (refuse_invalid(settings)) {
        outcome.status = SearchStatus::invalid_settings;
        return false;
    }
    return true;
}

} // namespace

SearchOutcome search_patterns(const WindowSettings &settings, const QList<FeatureMap> &patterns,
                              const QList<FeatureMap> &database, const SearchOptions &options)
{
    SearchOutcome outcome;
    if (!searchable(settings, database, outcome)) {
        return outcome;
    }
    Shard *shard = sharded() ? work_shard() : nullptr;
    const SearchSlice slice = slice_of(database, shard);
    const std::unique_ptr<SearchStrategy> strategy =
        make_search_strategy(options.mode, settings, slice, options);
    const auto clock = options.clock ? options.clock : tick_ms;
    const std::uint32_t start = clock();
    const auto started = std::chrono::steady_clock::now();
    outcome.picks = shard ? shared_best_picks(*shard, *strategy, patterns, slice.first,
                                              options.threads, options.progress)
                          : strategy->best_picks(patterns, options.progress);
    for (const PatternPick &pick : outcome.picks) {
        outcome.found += pick.found ? 1 : 0;
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
    if (options.rate_line) {
        write_rate_line(outcome);
    }
    // Outside the timed search: the figures above are those of the search alone.
    if (shard) {
        shared_runner_ups(*shard, *strategy, patterns, outcome.picks, slice.first,
                          options.runner_up);
    } else if (options.runner_up) {
        strategy->find_runner_ups(patterns, outcome.picks, true);
    }
    strategy->locate_crops(patterns, outcome.picks, database);
    return outcome;
}
