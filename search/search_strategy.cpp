#include "search/search_strategy.h"

#include "search/aligned_strategy.h"
#include "search/indexed_strategy.h"
#include "search/literal_strategy.h"

#include <stdexcept>

namespace {

struct Registered {
    SearchMode mode;
    double runner_up_reach;
    std::unique_ptr<SearchStrategy> (*make)(const WindowSettings &, const SearchSlice &,
                                            const SearchOptions &);
};

// One line per strategy.
const Registered registered[] = {
    {SearchMode::literal, literal_runner_up_reach, make_literal_strategy},
    {SearchMode::aligned, aligned_runner_up_reach, make_aligned_strategy},
    {SearchMode::indexed, indexed_runner_up_reach, make_indexed_strategy},
};

const Registered &registered_of(SearchMode mode)
{
    for (const Registered &entry : registered) {
        if (entry.mode == mode) {
            return entry;
        }
    }
    throw std::logic_error("a search mode without a strategy");
}

} // namespace

std::unique_ptr<SearchStrategy> make_search_strategy(SearchMode mode,
                                                     const WindowSettings &settings,
                                                     const SearchSlice &slice,
                                                     const SearchOptions &options)
{
    return registered_of(mode).make(settings, slice, options);
}

double runner_up_reach(SearchMode mode)
{
    return registered_of(mode).runner_up_reach;
}
