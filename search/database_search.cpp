#include "search/database_search.h"

#include "matcher/console.h"
#include "matcher/image_matcher.h"
#include "matcher/tick_clock.h"
#include "search/window_search.h"

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

PatternPick search_one(ImageMatcher &matcher, const FeatureMap &pattern,
                       const QList<FeatureMap> &database, int threads)
{
    matcher.fill_weights();
    FeatureMap descriptor;
    matcher.compute_descriptor_map(pattern, descriptor, matcher.radius);

    PatternPick pick;
    pick.pattern_name = pattern.name;
    const BestWindow best = best_window(descriptor, database, threads);
    if (best.exists) {
        pick.has_candidate = true;
        pick.picked_name = database[best.map].name;
        pick.score = best.score;
        pick.x = best.x;
        pick.y = best.y;
    }
    pick.found = pattern.name == pick.picked_name;
    return pick;
}

} // namespace

SearchOutcome search_patterns(ImageMatcher &matcher, const QList<FeatureMap> &patterns,
                              const QList<FeatureMap> &database, const SearchOptions &options)
{
    SearchOutcome outcome;
    if (database.isEmpty()) {
        console::write("database is empty, exiting...\n");
        return outcome;
    }
    if (matcher.refuse_invalid_settings()) {
        outcome.status = SearchStatus::invalid_settings;
        return outcome;
    }
    const auto clock = options.clock ? options.clock : tick_ms;
    const std::uint32_t start = clock();
    for (const FeatureMap &pattern : patterns) {
        outcome.picks.append(search_one(matcher, pattern, database, options.threads));
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
    return outcome;
}
