#pragma once
// The database search: every pattern (a grey map) gets its descriptor map with the given window
// settings, is compared at every window position of every database map, and its best candidate
// is picked. A pattern is found when the picked name equals its own name exactly. The search is
// timed as a whole and ends with one console line: the average milliseconds per pattern, a tab,
// and the success rate in percent.
//
// This is the hall: it checks the inputs, picks the strategy of the search mode
// (search_strategy.h), shares the work with the other processes when there are (shared_search.h),
// times and counts.

#include "maps/feature_map.h"
#include "maps/window_settings.h"
#include "search/search_records.h"

#include <QList>

#include <string>

// Searches every pattern in the database and writes the console lines of the search (the
// aligned search writes the same lines, its patterns searched side by side on the threads):
// "database is empty, exiting...\n" for an empty database, the refusal of settings that give no
// window step, "no patterns to search\n" for an empty pattern list, and otherwise the summary
// line.
SearchOutcome search_patterns(const WindowSettings &settings, const QList<FeatureMap> &patterns,
                              const QList<FeatureMap> &database,
                              const SearchOptions &options = SearchOptions());

// The summary line of an outcome searched: "AVERAGE_MS\tRATE\n".
void write_rate_line(const SearchOutcome &outcome);

// The rate as a standard output stream writes a double by default: 100, 50, 33.3333, 0.
std::string format_rate(float rate);
