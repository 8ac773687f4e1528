#pragma once
// The aligned search: the pattern compared on every grid phase, so that a crop is found
// whatever its offset in its image, from the same database.
//
// The database's cells lie at (radius + q * step, radius + r * step) of each image; a crop whose
// offset is not a multiple of the step has its own cells between them. Phase (px, py) of the
// pattern (see CentreDescriptor) puts the pattern's cells on the image's grid when the crop's
// offset is (x * step - px, y * step - py) for some cell (x, y). Every phase with cells is scored
// against every database map with the system's window score (sum of |d|, cut-off included);
// the best over all phases, maps and positions wins, ties going to the earlier map, then the
// earlier phase (py * step + px), then the smaller x, then the smaller y.
//
// Exact and fast: a window that scores S has |d| <= S at every cell, so with the pattern's
// anchor cell of value v, every window scoring at most S has its anchor over a database cell
// within [v - S, v + S], and its anchor and the cell right of it differ by at most S together.
// Such cells come from the cell index (CellIndex), which finds them in a few of its blocks
// whatever the size of the database, within a tolerance that grows, round by round over all
// phases, until it covers the best score so far; each candidate window is checked on a few rare
// cells, then scored in the literal order with early abandon. A phase whose candidates grow too
// many is scanned in full, seeded with the best score so far. Windows cut off (9999) or scoring not
// a number never win while a score below 9999 exists; when none does, every phase is scanned in
// full.
//
// The search is planned (phase_plan.h), run in rounds (phase_search.h), and read here.

#include "maps/centre_descriptor.h"
#include "maps/feature_map.h"
#include "search/cell_index.h"
#include "search/match_candidate.h"
#include "search/phase_search.h"

#include <QList>
#include <QPoint>
#include <QSize>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

// The six-digit rounding of the database text leaves, in a window that matches exactly, a
// score of at most about this much per unit of the sum of |pattern cells|.
constexpr double ft1_rounding_residual = 5.1e-6;

// Runner-ups are looked for up to this many times the best score (and at least up to the
// rounding residual, so that two exact matches are both seen).
constexpr double aligned_runner_up_reach = 5;

struct AlignedWindow {
    MatchCandidate window; // x, y: the cell in the database map of the phase's cells
    QPoint phase;
};

struct AlignedSearch {
    bool any_cells = false; // some phase of the pattern has cells
    std::optional<AlignedWindow> best;
    std::optional<AlignedWindow> runner_up; // best of the maps of other names, within reach
    bool other_images = false;              // maps of other names have windows
    QSize map_size;                         // of the best's phase
    double magnitude = 0;                   // sum of |cells| of the best's phase
    SearchWork work;                        // for tuning and benchmarks
    // Searched within a bound: a lower bound of the score of every window left above the last
    // limit that was looked at, infinite when none was (where the next limit pays to start).
    double least_rejected = 0;
};

struct AlignedOptions {
    int threads = 0; // threads of the phases scanned in full; 0: one per core
    bool runner_up = true;
};

// One pattern's aligned search, in two steps: the best window, then, when asked for, its
// runner-up. Not for use by several threads at once (the full scans of phases may use several).
class AlignedSearcher
{
public:
    // `before_reading` hears of each map before a search first reads its values.
    AlignedSearcher(CentreDescriptor &pattern, const QList<FeatureMap> &database,
                    const CellIndex &index, int threads = 0,
                    std::function<void(int map)> before_reading = {});
    ~AlignedSearcher();
    AlignedSearcher(const AlignedSearcher &) = delete;
    AlignedSearcher &operator=(const AlignedSearcher &) = delete;

    // Everything but the runner-up.
    AlignedSearch best();
    // The same, among the windows scoring at most `bound` alone: no best when none does. With
    // `lookups_only`, among those the cell index's entries name (phases whose windows it names
    // too many of are left out, and counted in the work), at the cost of a few lookups.
    AlignedSearch best_within(float bound, bool lookups_only = false);
    // The limit of the search's first round: about what an exact match scores.
    double first_limit() const;
    // The best window among the maps of other names than `best`'s, within reach.
    std::optional<AlignedWindow> runner_up(const AlignedWindow &best);
    // Whether maps of other names than `name` have windows for some phase.
    bool has_other_images(const QString &name) const;

private:
    struct State;
    std::vector<char> others_of(const QString &name) const; // empty when none has windows
    std::unique_ptr<State> m;
};

// Both steps at once.
AlignedSearch aligned_search(CentreDescriptor &pattern, const QList<FeatureMap> &database,
                             const CellIndex &index, const AlignedOptions &options = {});
