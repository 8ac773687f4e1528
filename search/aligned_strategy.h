#pragma once
// The aligned strategy: every grid phase of the pattern, candidates from the database's cell
// index (aligned_search.h), patterns side by side, each search on one thread.

#include "search/aligned_search.h"
#include "search/search_strategy.h"

std::unique_ptr<SearchStrategy> make_aligned_strategy(const WindowSettings &settings,
                                                      const SearchSlice &slice,
                                                      const SearchOptions &options);
