#pragma once
// A search shared by several processes (a Shard), each searching a contiguous slice of the
// database: the picks of every slice gathered and reduced to those one process searching the
// whole database makes. Strategies that search within a bound are settled round by round
// instead, so that a slice which does not hold the crop need not prove its own best.

#include "search/search_strategy.h"
#include "support/shard.h"

// The best pick of each pattern in the whole database, on every process; `first` is the index
// of the slice's first map. `threads`: of the rounds of bounded searches (0: one per core).
QList<PatternPick> shared_best_picks(Shard &shard, SearchStrategy &strategy,
                                     const QList<FeatureMap> &patterns, int first, int threads,
                                     const SearchStrategy::Progress &progress);

// The runner-up of each common best among every slice's, and whether any slice has other
// images with windows, when the strategy tells either.
void shared_runner_ups(Shard &shard, SearchStrategy &strategy, const QList<FeatureMap> &patterns,
                       QList<PatternPick> &picks, int first, bool runner_up);
