#pragma once
// The literal strategy: the pattern's descriptor map on its own grid, its best window over
// every window of every map (best_window.h), patterns one after the other on all threads.

#include "search/best_window.h"
#include "search/search_strategy.h"

std::unique_ptr<SearchStrategy> make_literal_strategy(const WindowSettings &settings,
                                                      const SearchSlice &slice,
                                                      const SearchOptions &options);
