#pragma once
// The plan of one pattern's aligned search, made before any database map is read: the phases
// of the pattern that have cells, the cells each phase is first checked on (its anchor, looked
// up in the cell index, and its probe cells: values least common in the database), and how many
// candidates a phase is worth before a full scan costs less.

#include "maps/centre_descriptor.h"
#include "maps/feature_map.h"
#include "search/cell_index.h"
#include "search/window_sums.h"

#include <QList>
#include <QPoint>
#include <QSize>
#include <QString>

#include <memory>
#include <vector>

namespace aligned {

// The cells a candidate is first checked on, besides its anchor.
constexpr int probe_cells = 6;

// After its probe cells, a candidate is checked on a grid of up to this many more cells before
// the phase's whole map is made for its score.
constexpr int spread_cells = 16;

// The cells of the phases of one size: the rarest cells of the first phase, moved into them,
// which give each phase its anchor and its probe cells; and a grid of cells over them.
struct Layout {
    QSize size;
    std::vector<QPoint> choices; // distinct, rarest first
    std::vector<QPoint> grid;    // distinct from the choices

    // The database's window sums for this size, made when a phase of this size first needs them.
    const WindowSums &sums(const QList<FeatureMap> &database);

private:
    std::unique_ptr<WindowSums> m_sums;
};

struct Phase {
    int px = 0;
    int py = 0;
    int order = 0; // py * step + px
    QSize size;
    Layout *layout = nullptr;
    std::size_t anchor = 0; // in layout->choices; the other choices are its probe cells
    float anchor_value = 0;
    bool other_anchors_tried = false;
    std::size_t budget = 0;   // candidates worth more than a full scan of the phase
    float scanned_up_to = -1; // the bound of the last full scan, if any
    FeatureMap map;           // made when a candidate looks real (map_of)
    double magnitude = 0;     // the sum of |cells|, once the map is made
    double total_slack = 0;   // the rounding of the sum of the cells, once the map is made
};

// The phase's map of cells, made when missing.
const FeatureMap &map_of(Phase &phase, CentreDescriptor &pattern);

// The pattern's phases with cells, each with its anchor and probe cells; `layouts` receives the
// layouts they point to (at most four: it must not grow afterwards).
std::vector<Phase> phases_of(CentreDescriptor &pattern, const CellIndex &index,
                             std::vector<Layout> &layouts);

// Every phase's budget, from the sizes of the maps without visiting them: the maps `left_out`
// (when given) do not count. Forgets the phases' full scans.
void set_budgets(std::vector<Phase> &phases, const QList<FeatureMap> &database,
                 const CellIndex::MapShapes &shapes, const std::vector<int> *left_out);

} // namespace aligned
