#include "search/cell_index.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

CellIndex::CellIndex(const QList<FeatureMap> &database)
    : CellIndex(sort_cells(database))
{}

CellIndex::CellIndex(SortedCells cells)
    : m_cells(std::move(cells))
{
    make_grid();
}

void CellIndex::make_grid()
{
    // The grid covers all but the outermost twentieth of a percent on each side; small indexes
    // are searched.
    const float *values = m_cells.values;
    const std::size_t n = m_cells.size;
    if (n < 4096 || n > std::numeric_limits<std::uint32_t>::max()) {
        return;
    }
    m_grid_low = values[n / 2000];
    m_grid_high = values[n - 1 - n / 2000];
    if (!(m_grid_high > m_grid_low)) {
        return;
    }
    constexpr std::size_t grid = 1 << 16;
    m_grid_ranks.resize(grid + 1);
    const float *position = values;
    for (std::size_t g = 0; g <= grid; ++g) {
        const double v = m_grid_low + (m_grid_high - m_grid_low) * double(g) / grid;
        position = std::lower_bound(position, values + n, v, [](float entry, double bound) {
            return double(entry) < bound;
        });
        m_grid_ranks[g] = static_cast<std::uint32_t>(position - values);
    }
}

double CellIndex::rank_about(double value) const
{
    if (m_grid_ranks.empty() || !(value >= m_grid_low && value <= m_grid_high)) {
        return double(range(-std::numeric_limits<double>::infinity(), value).second);
    }
    const double at =
        (value - m_grid_low) / (m_grid_high - m_grid_low) * double(m_grid_ranks.size() - 1);
    const std::size_t g = std::min(static_cast<std::size_t>(at), m_grid_ranks.size() - 2);
    const double share = at - double(g);
    return m_grid_ranks[g] + share * (double(m_grid_ranks[g + 1]) - m_grid_ranks[g]);
}

std::size_t CellIndex::count_about(double low, double high) const
{
    if (!(low <= high)) {
        return 0;
    }
    const double count = rank_about(high) - rank_about(low);
    return count > 0 ? static_cast<std::size_t>(count + 0.5) : 0;
}

std::pair<std::size_t, std::size_t> CellIndex::range(double low, double high) const
{
    if (!(low <= high)) {
        return {0, 0};
    }
    const float *begin = m_cells.values;
    const float *end = begin + m_cells.size;
    const float *first =
        std::lower_bound(begin, end, low, [](float v, double bound) { return double(v) < bound; });
    const float *last =
        std::upper_bound(first, end, high, [](double bound, float v) { return bound < double(v); });
    return {static_cast<std::size_t>(first - begin), static_cast<std::size_t>(last - begin)};
}

float CellIndex::median() const
{
    return m_cells.size == 0 ? 0.0f : m_cells.values[m_cells.size / 2];
}

const CellIndex::MapShapes &CellIndex::map_shapes(const QList<FeatureMap> &database) const
{
    std::call_once(m_shapes->once, [&] {
        MapShapes &shapes = m_shapes->shapes;
        QHash<QPair<int, int>, qint64> counts;
        for (int m = 0; m < database.size(); ++m) {
            const FeatureMap &map = database[m];
            ++counts[qMakePair(map.width, map.height)];
            shapes.by_name[map.name].push_back(m);
        }
        for (auto size = counts.cbegin(); size != counts.cend(); ++size) {
            shapes.sizes.push_back({QSize(size.key().first, size.key().second), size.value()});
        }
    });
    return m_shapes->shapes;
}
