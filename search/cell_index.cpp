#include "search/cell_index.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

CellIndex::CellIndex(const QList<FeatureMap> &database)
{
    struct Entry {
        float value;
        std::uint64_t place;
    };
    std::vector<Entry> entries;
    std::size_t total = 0;
    for (const FeatureMap &map : database) {
        total += static_cast<std::size_t>(map.has_values() ? map.cell_count() : 0);
    }
    entries.reserve(total);
    for (int m = 0; m < database.size(); ++m) {
        const FeatureMap &map = database[m];
        if (!map.has_values()) {
            continue;
        }
        const float *cells = map.data();
        for (qint64 k = 0; k < map.cell_count(); ++k) {
            if (std::isfinite(cells[k])) {
                entries.push_back({cells[k], std::uint64_t(m) << 32 | std::uint64_t(k)});
            }
        }
    }
    std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
        return a.value < b.value || (a.value == b.value && a.place < b.place);
    });
    m_values.reserve(entries.size());
    m_places.reserve(entries.size());
    for (const Entry &entry : entries) {
        m_values.push_back(entry.value);
        m_places.push_back(entry.place);
    }
    // The grid covers all but the outermost twentieth of a percent on each side; small indexes
    // are searched.
    const std::size_t n = m_values.size();
    if (n < 4096 || n > std::numeric_limits<std::uint32_t>::max()) {
        return;
    }
    m_grid_low = m_values[n / 2000];
    m_grid_high = m_values[n - 1 - n / 2000];
    if (!(m_grid_high > m_grid_low)) {
        return;
    }
    constexpr std::size_t grid = 1 << 16;
    m_grid_ranks.resize(grid + 1);
    auto position = m_values.begin();
    for (std::size_t g = 0; g <= grid; ++g) {
        const double v = m_grid_low + (m_grid_high - m_grid_low) * double(g) / grid;
        position = std::lower_bound(position, m_values.end(), v, [](float entry, double bound) {
            return double(entry) < bound;
        });
        m_grid_ranks[g] = static_cast<std::uint32_t>(position - m_values.begin());
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
    const auto first = std::lower_bound(m_values.begin(), m_values.end(), low,
                                        [](float v, double bound) { return double(v) < bound; });
    const auto last = std::upper_bound(first, m_values.end(), high,
                                       [](double bound, float v) { return bound < double(v); });
    return {static_cast<std::size_t>(first - m_values.begin()),
            static_cast<std::size_t>(last - m_values.begin())};
}

float CellIndex::median() const
{
    return m_values.empty() ? 0.0f : m_values[m_values.size() / 2];
}
