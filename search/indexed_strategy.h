#pragma once
// The indexed strategy: for each pattern, first the windows that match it to the database's
// rounding, looked up in the cell index as the aligned search's first round does (an exact
// crop is then found and proved best at once); otherwise the windows that share blocks of
// cells with it, from the candidate index (indexed_search.h), which a pattern whose votes are
// not conclusive asks again with four times the blocks. Its cost grows with the windows that
// share blocks, not with the database.
//
// Several processes sharing the work take the same steps, each in its slice, and exchange what
// each step found before the next, so that every pick is the one a single process makes.

#include "search/indexed_search.h"
#include "search/search_strategy.h"

std::unique_ptr<SearchStrategy> make_indexed_strategy(const WindowSettings &settings,
                                                      const SearchSlice &slice,
                                                      const SearchOptions &options);

// Runner-ups are the best scored window of another image: there is no reach beyond which the
// search stops looking, so answers compare with the aligned search's.
constexpr double indexed_runner_up_reach = 5;
