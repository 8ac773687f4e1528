#pragma once
// The picks of a search shared by several processes, each of which searched a contiguous slice
// of the database: packed to travel between them, and reduced to the picks one process searching
// the whole database makes. Slices are in database order, so among equal scores the earlier
// slice holds the earlier map.

#include "search/match_candidate.h"
#include "search/search_records.h"

#include <QByteArray>
#include <QList>

#include <optional>

// The parts of a pick that depend on the slice: the best (or the runner-up) with its map's
// index in the whole database, and what the pattern's map looked like for the best's phase.
QByteArray pack_picks(const QList<PatternPick> &picks);
// Nothing when the bytes are not `count` packed picks.
std::optional<QList<PatternPick>> unpack_picks(const QByteArray &bytes, int count);

// Which of the windows picked in each slice, in slice order, one search of the whole database
// picks: the lowest score below 9999999, the earliest on ties; when no slice has one, the first
// slice's window (the first candidate of the whole list). -1 when there is none.
int earliest_best(const QList<std::optional<MatchCandidate>> &windows);

// Which window is the lowest, the earliest on ties; -1 when there are none.
int earliest_lowest(const QList<std::optional<MatchCandidate>> &windows);
