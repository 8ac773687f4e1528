#pragma once
// What a database search is asked and what it answers: the options, the pick of each pattern
// and the outcome of the whole search. Every strategy fills the same records, so that the hall,
// the shared work and the answers need not know which strategy searched.

#include "search/match_candidate.h"

#include <QList>
#include <QPoint>
#include <QSize>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

// How a pick was made.
enum class PickedBy {
    search, // the mode's own search: the lowest window of all (literal, aligned)
    exact,  // a window matching to the database's rounding: the lowest of all (indexed)
    votes,  // among the windows sharing blocks with the pattern: not proved the lowest (indexed)
};

struct PatternPick {
    QString pattern_name;
    std::optional<MatchCandidate> best; // nothing when no window of any map fits the pattern
    // With runner-ups asked for: the best window among the maps of other names, when one scores
    // within the strategy's runner_up_reach times the best, and whether maps of other names have
    // windows.
    std::optional<MatchCandidate> runner_up;
    bool other_images = false;
    int map_width = 0; // the sizes of the pattern's descriptor map (of the best's phase)
    int map_height = 0;
    bool found = false;
    // The aligned search: the grid phase of the best, the sum of |cells| of its map, and whether
    // any phase of the pattern has cells.
    QPoint phase;
    double magnitude = 0;
    bool any_cells = false;
    // The indexed search: how the pick was made, the votes of its position, and the windows of
    // other images it scored (the closest unrelated windows the votes found): how many, and
    // their median score.
    PickedBy picked_by = PickedBy::search;
    int votes = 0;
    int unrelated = 0;
    double unrelated_median = 0;
    // The same scores with the pattern's contrast fitted to each window (search/gain_fit.h):
    // the best's and its gain, the runner-up's, and the unrelated windows' median.
    double fitted_score = 0;
    double gain = 1;
    double runner_up_fitted = 0;
    double unrelated_fitted_median = 0;
    // The crop's size over the size of what it shows in the picked image: 1 unless the pattern
    // was found resampled (the indexed search's ladder of scales).
    double scale = 1;
    // And the angle in degrees the crop shows its image turned by (clockwise on screen), when
    // it was found turned back; the window is then that of the crop's middle part
    // (turned_inner_size in maps/grey_map.h).
    double angle = 0;
    // The literal search: the crop's corner in the picked image, in pixels, located over every
    // grid phase near the best (search/crop_location.h), when it was.
    std::optional<QPoint> corner;
    // The radius and step divisor of the maps the pick is from, when not the search's (a
    // database of the same images at a smaller radius, searched for patterns with few cells).
    int radius = 0;
    int step_divisor = 0;

    QString picked_name() const { return best ? best->name : QString(); }
};

enum class SearchStatus {
    searched,         // the summary line was written
    empty_database,   // nothing was done
    invalid_settings, // nothing was done
    no_patterns,      // the time was measured, nothing else
};

struct SearchOutcome {
    SearchStatus status = SearchStatus::empty_database;
    std::uint32_t elapsed_ms = 0;
    double seconds = 0; // the same time, to the microsecond
    int patterns = 0;
    int found = 0;
    float rate = 0; // found / patterns * 100, as a float
    QList<PatternPick> picks;
};

class CellIndex;
class CandidateIndex;

// Each mode is one strategy (see search/search_strategy.h).
enum class SearchMode {
    literal, // the pattern's own grid against the database's, as the system searches
    aligned, // every grid phase of the pattern (see search/aligned_search.h)
    indexed, // the windows sharing blocks with the pattern (see search/indexed_strategy.h)
};

// The scales of crops the indexed search looks for beyond 1: a crop's size over the size of what
// it shows, from `low` to `high`.
struct ScaleRange {
    double low = 0.5;
    double high = 2;

    bool beyond_one() const { return low < 1 || high > 1; }
};

struct SearchOptions {
    std::function<std::uint32_t()> clock;              // the tick counter; tick_ms when empty
    std::function<void(int done, int total)> progress; // called after each pattern
    int threads = 0; // threads sharing the database maps of each pattern; 0: one per core
    // Also find each pattern's runner-up, after the timed search and its line.
    bool runner_up = true;
    SearchMode mode = SearchMode::literal;
    // The aligned search's sorted cells of the database; made for the search when null.
    const CellIndex *index = nullptr;
    // The indexed search's candidate index of the database; made for the search when null.
    const CandidateIndex *candidates = nullptr;
    // Hears of each map (numbered in the whole database) before a search first reads its
    // values; may throw (a binary index whose values are damaged).
    std::function<void(int map)> before_reading;
    // The indexed search: the scales tried for a pattern it does not find at its own.
    ScaleRange scales;
    // When set, a pattern climbs only the rungs (and the scales between them) this allows it, and
    // is turned back only at a scale it allows; its own scale is always searched.
    std::function<bool(QSize pattern, double scale)> climbs;
    // Writes the line of the average time and the success rate; a search made of several
    // searches writes it once, for them all.
    bool rate_line = true;
};

// The turns the indexed search tries, in degrees, for a pattern no scale finds clearly (with the
// ladder of scales only), nearest none first.
constexpr double searched_turns[] = {1, -1, 2, -2};
