#include "search/phase_plan.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace aligned {

const WindowSums &Layout::sums(const QList<FeatureMap> &database)
{
    if (!m_sums) {
        m_sums = std::make_unique<WindowSums>(database, size.width(), size.height());
    }
    return *m_sums;
}

const FeatureMap &map_of(Phase &phase, CentreDescriptor &pattern)
{
    if (!phase.map.has_values()) {
        phase.map = pattern.phase_map(phase.px, phase.py);
        double magnitude = 0;
        for (qint64 k = 0; k < phase.map.cell_count(); ++k) {
            magnitude += std::fabs(double(phase.map.values[k]));
        }
        phase.magnitude = magnitude;
        phase.total_slack = 2 * double(phase.map.cell_count() + 1) * magnitude *
                            std::numeric_limits<double>::epsilon();
    }
    return phase.map;
}

namespace {

// A full scan of a phase costs about what checking a few candidates per window position costs.
// The window positions of a pattern of `size` in a map of `map`.
qint64 positions_in(QSize map, QSize size)
{
    const qint64 across = map.width() - size.width() + 1;
    const qint64 down = map.height() - size.height() + 1;
    return across > 0 && down > 0 ? across * down : 0;
}

std::size_t budget_of(QSize size, const QList<FeatureMap> &database,
                      const CellIndex::MapShapes &shapes, const std::vector<int> *left_out)
{
    qint64 positions = 0;
    for (const auto &shape : shapes.sizes) {
        positions += shape.second * positions_in(shape.first, size);
    }
    for (int m : left_out ? *left_out : std::vector<int>()) {
        positions -= positions_in(QSize(database[m].width, database[m].height), size);
    }
    return std::max<std::size_t>(64, std::size_t(positions) / 4);
}

std::vector<Phase> phases_with_cells(CentreDescriptor &pattern)
{
    std::vector<Phase> phases;
    const int step = pattern.step();
    for (int py = 0; py < step; ++py) {
        for (int px = 0; px < step; ++px) {
            if (pattern.phase_has_cells(px, py)) {
                Phase phase;
                phase.px = px;
                phase.py = py;
                phase.order = py * step + px;
                phase.size = pattern.phase_size(px, py);
                phases.push_back(std::move(phase));
            }
        }
    }
    return phases;
}

struct Rarity {
    std::size_t nearby;
    QPoint cell;
    float value;
    bool operator<(const Rarity &other) const { return nearby < other.nearby; }
};

// A grid of up to 4 x 4 cells of the first phase, which stands for all of them, rarest first.
std::vector<Rarity> rarest_cells(CentreDescriptor &pattern, const CellIndex &index,
                                 const Phase &first)
{
    std::vector<Rarity> cells;
    const int across = std::min(first.size.width(), 4);
    const int down = std::min(first.size.height(), 4);
    for (int gy = 0; gy < down; ++gy) {
        for (int gx = 0; gx < across; ++gx) {
            // Not in the last column when there are two: an anchor is looked up together with
            // the cell right of it.
            const QPoint cell(std::min((2 * gx + 1) * first.size.width() / (2 * across),
                                       std::max(0, first.size.width() - 2)),
                              (2 * gy + 1) * first.size.height() / (2 * down));
            cells.push_back(
                {0, cell, pattern.rough_phase_value(first.px, first.py, cell.x(), cell.y())});
        }
    }
    const double typical = index.median();
    double spread = 0;
    for (const Rarity &sample : cells) {
        spread += std::isfinite(sample.value) ? std::fabs(sample.value - typical) : 0;
    }
    // Rarity is counted within a small share of the values' usual distance.
    const double near = spread / double(cells.size()) / 256 + 1e-12;
    for (Rarity &sample : cells) {
        const double v = sample.value;
        sample.nearby = std::isfinite(v) ? index.count_about(v - near, v + near) : index.size() + 1;
    }
    std::stable_sort(cells.begin(), cells.end());
    return cells;
}

bool holds(const std::vector<QPoint> &cells, std::size_t count, QPoint cell)
{
    const auto end = cells.begin() + std::ptrdiff_t(std::min(cells.size(), count));
    return std::find(cells.begin(), end, cell) != end;
}

// The samples a phase of `size` has, in order: the same cells as larger phases', so the same
// tiles; then, moved inside, those it lacks.
std::vector<QPoint> choices_of(QSize size, const std::vector<Rarity> &cells)
{
    std::vector<QPoint> choices;
    for (const bool moved : {false, true}) {
        for (const Rarity &sample : cells) {
            const bool inside =
                sample.cell.x() < std::max(1, size.width() - 1) && sample.cell.y() < size.height();
            if (inside == moved) {
                continue;
            }
            const QPoint cell(std::min(sample.cell.x(), std::max(0, size.width() - 2)),
                              std::min(sample.cell.y(), size.height() - 1));
            if (!holds(choices, choices.size(), cell)) {
                choices.push_back(cell);
            }
        }
    }
    return choices;
}

// A grid of cells over a phase of `size`, leaving out its anchor and probe cells.
std::vector<QPoint> grid_of(QSize size, const std::vector<QPoint> &choices)
{
    std::vector<QPoint> grid;
    const int across = std::max(1, int(std::sqrt(double(spread_cells))));
    for (int gy = 0; gy < across; ++gy) {
        for (int gx = 0; gx < across; ++gx) {
            const QPoint cell((2 * gx + 1) * size.width() / (2 * across),
                              (2 * gy + 1) * size.height() / (2 * across));
            if (!holds(choices, probe_cells + 1, cell) && !holds(grid, grid.size(), cell)) {
                grid.push_back(cell);
            }
        }
    }
    return grid;
}

// The layout of the phases of `size`, made when it is the first of its size.
Layout &layout_for(QSize size, const std::vector<Rarity> &cells, std::vector<Layout> &layouts)
{
    for (Layout &layout : layouts) {
        if (layout.size == size) {
            return layout;
        }
    }
    Layout layout;
    layout.size = size;
    layout.choices = choices_of(size, cells);
    layout.grid = grid_of(size, layout.choices);
    layouts.push_back(std::move(layout));
    return layouts.back();
}

} // namespace

void set_budgets(std::vector<Phase> &phases, const QList<FeatureMap> &database,
                 const CellIndex::MapShapes &shapes, const std::vector<int> *left_out)
{
    std::vector<std::pair<QSize, std::size_t>> budgets;
    for (Phase &phase : phases) {
        auto known = std::find_if(budgets.begin(), budgets.end(),
                                  [&](const auto &entry) { return entry.first == phase.size; });
        if (known == budgets.end()) {
            budgets.push_back({phase.size, budget_of(phase.size, database, shapes, left_out)});
            known = budgets.end() - 1;
        }
        phase.budget = known->second;
        phase.scanned_up_to = -1;
    }
}

// The choice of anchors starts from a grid of cells of the first phase, rarest first; a phase
// takes the first of them (moved into it when it is smaller) unless its own value there is
// common, and then the rarest of a few (see PhaseSearch). One cell position of all phases is
// one tile of the pattern's centres, so the phases' anchors cost a few tiles.
std::vector<Phase> phases_of(CentreDescriptor &pattern, const CellIndex &index,
                             std::vector<Layout> &layouts)
{
    std::vector<Phase> phases = phases_with_cells(pattern);
    if (phases.empty()) {
        return phases;
    }
    const std::vector<Rarity> cells = rarest_cells(pattern, index, phases.front());
    // One layout per size of phase (at most four): the phases point into `layouts`.
    layouts.reserve(4);
    for (Phase &phase : phases) {
        phase.layout = &layout_for(phase.size, cells, layouts);
        const QPoint cell = phase.layout->choices.front();
        phase.anchor = 0;
        phase.anchor_value = pattern.phase_value(phase.px, phase.py, cell.x(), cell.y());
    }
    return phases;
}

} // namespace aligned
