#pragma once
// The round engine of the aligned search: over a pattern's planned phases (phase_plan.h),
// rounds of a growing limit, each finding every window that scores at most the limit from the
// candidates of the cell index, their window sums, or full scans of phases.

#include "maps/centre_descriptor.h"
#include "maps/feature_map.h"
#include "search/best_window.h"
#include "search/cell_index.h"
#include "search/phase_plan.h"
#include "search/window_compare.h"

#include <QList>
#include <QtGlobal>

#include <cstddef>
#include <functional>
#include <vector>

// Work done by a search, for tuning and benchmarks.
struct SearchWork {
    qint64 candidates = 0; // windows checked on their cells
    int full_scans = 0;    // phases scanned in full
    int left_out = 0;      // phases left out, looking in the index alone
};

namespace aligned {

// The best window so far, in the order (score, map, phase, x, y).
struct Leader {
    bool exists = false;
    float score = no_best_score;
    int map = 0;
    int phase = 0;
    int x = 0;
    int y = 0;

    bool beaten_by(float other_score, int other_map, int other_phase, int other_x,
                   int other_y) const;
};

struct Rounds {
    Leader leader;
    SearchWork work;
    // A lower bound of the windows left above the last round's limit.
    double least_rejected = 0;
};

class PhaseSearch
{
public:
    // Windows scoring above `bound` are never taken; only the maps m with (*wanted)[m] set are
    // searched (every map when `wanted` is null). `threads`: of the full scans.
    // `before_reading` (when set) hears of each map before its values are read. With
    // `lookups_only`, windows are taken from the index's entries alone: phases whose candidates
    // would be taken from window sums or a full scan are left out (and counted).
    PhaseSearch(CentreDescriptor &pattern, const QList<FeatureMap> &database,
                const CellIndex &index, WindowScanner &scanner, const std::vector<char> *wanted,
                float bound, int threads, const std::function<void(int map)> *before_reading,
                bool lookups_only = false);

    // Rounds of a growing limit, starting at `first_limit`: in each, every window that scores
    // at most the limit is found, from the candidates whose anchor difference is at most the
    // limit. The first round that finds one has found the best.
    // `anchored`: the phases whose anchor value is finite. A phase whose anchor is not finite
    // has every window cut off or not a number: it matters only when no score below 9999
    // exists.
    Rounds run(std::vector<Phase> &phases, const std::vector<Phase *> &anchored,
               double first_limit);

private:
    // Looking in the index alone, the most entries a phase's anchor may have.
    static constexpr std::size_t lookups_most = 4096;

    // Announcements of the maps' values before they are read.
    void reading(int map) const;
    void reading_all();

    // A window from the window sums, with a lower bound of its score.
    struct Queued {
        double bound;
        Phase *phase;
        int map;
        int x;
        int y;
        bool operator<(const Queued &other) const { return bound < other.bound; }
    };

    float threshold() const;
    double drop();
    bool wanted(int map) const;
    void consider(float score, int map, const Phase &phase, int x, int y);
    void rejected(double bound);
    void round(const std::vector<Phase *> &anchored);
    void look_up(Phase &phase, double tolerance);
    void check_queued();
    double right_of_anchor(Phase &phase);
    std::size_t other_anchor(Phase &phase, double tolerance, std::size_t estimate,
                             CellIndex::Span &span);
    bool take_by_sums(Phase &phase, std::size_t count);
    void scan_in_full(Phase &phase);
    float cell(const Phase &phase, int k, int l);
    void take(Phase &phase, std::size_t entry);
    void check(Phase &phase, int map, int x, int y);

    CentreDescriptor &m_pattern;
    const QList<FeatureMap> &m_database;
    const CellIndex &m_index;
    WindowScanner &m_scanner;
    const std::vector<char> *m_wanted;
    float m_bound;
    float m_limit = 0;
    int m_threads;
    const std::function<void(int map)> *m_before_reading;
    bool m_lookups_only;
    bool m_read_all = false;
    Leader m_leader;
    SearchWork m_work;
    std::vector<Queued> m_queue;
    std::vector<std::size_t> m_entries; // the index's entries of the phase in hand
    float m_drop_for = -1;
    double m_drop = 0;
    double m_least_rejected = 0;
};

} // namespace aligned
