#include "search/window_sums.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace {

// Prefix sums of the values and counts of cells that are not finite, one row and one column
// larger than the map.
struct PrefixSums {
    explicit PrefixSums(const FeatureMap &map)
        : w(map.width + 1)
        , total(static_cast<std::size_t>(w) * (map.height + 1), 0.0)
        , odd(total.size(), 0)
    {
        for (int y = 0; y < map.height; ++y) {
            double row = 0;
            int row_odd = 0;
            for (int x = 0; x < map.width; ++x) {
                const float v = map.at(x, y);
                const bool finite = std::isfinite(v);
                row += finite ? v : 0.0;
                row_odd += finite ? 0 : 1;
                magnitude += finite ? std::fabs(v) : 0.0;
                const std::size_t here = std::size_t(y + 1) * w + (x + 1);
                total[here] = total[here - w] + row;
                odd[here] = odd[here - w] + row_odd;
            }
        }
    }

    std::size_t at(int cx, int cy) const { return std::size_t(cy) * w + cx; }

    int w;
    std::vector<double> total;
    std::vector<int> odd;
    double magnitude = 0;
};

} // namespace

double WindowSums::total_of(const double *b)
{
    return ((b[0] + b[1]) + (b[2] + b[3])) + ((b[4] + b[5]) + (b[6] + b[7]));
}

WindowSums::WindowSums(const QList<FeatureMap> &database, int width, int height)
    : m_width(std::max(width, 1))
    , m_height(std::max(height, 1))
{
    // Column group g covers columns [column_edge[g], column_edge[g + 1]), row group likewise.
    int column_edge[across + 1];
    int row_edge[down + 1];
    for (int g = 0; g <= across; ++g) {
        column_edge[g] = 0;
        while (column_edge[g] < m_width && block_of(column_edge[g], 0) < g) {
            ++column_edge[g];
        }
    }
    for (int g = 0; g <= down; ++g) {
        row_edge[g] = 0;
        while (row_edge[g] < m_height && block_of(0, row_edge[g]) < across * g) {
            ++row_edge[g];
        }
    }
    struct Entry {
        double total;
        Place place;
        Blocks blocks;
    };
    std::vector<Entry> entries;
    double largest_error = 0;
    for (int m = 0; m < database.size(); ++m) {
        const FeatureMap &map = database[m];
        if (!map.has_values() || width <= 0 || height <= 0 || map.width < width ||
            map.height < height) {
            continue;
        }
        const PrefixSums sums(map);
        // Each prefix sum is formed with at most (cells) roundings of at most epsilon times
        // the magnitude so far; a box sum takes four of them.
        largest_error = std::max(largest_error, 4 * double(map.cell_count() + 2) * sums.magnitude *
                                                    std::numeric_limits<double>::epsilon());
        const std::vector<double> &total = sums.total;
        const std::vector<int> &odd = sums.odd;
        auto at = [&sums](int cx, int cy) { return sums.at(cx, cy); };
        for (int x = 0; x + width <= map.width; ++x) {
            for (int y = 0; y + height <= map.height; ++y) {
                const int bad = odd[at(x + width, y + height)] - odd[at(x, y + height)] -
                                odd[at(x + width, y)] + odd[at(x, y)];
                if (bad != 0) {
                    continue;
                }
                Entry entry;
                for (int gy = 0; gy < down; ++gy) {
                    for (int gx = 0; gx < across; ++gx) {
                        const int x0 = x + column_edge[gx], x1 = x + column_edge[gx + 1];
                        const int y0 = y + row_edge[gy], y1 = y + row_edge[gy + 1];
                        entry.blocks[std::size_t(gx + across * gy)] =
                            total[at(x1, y1)] - total[at(x0, y1)] - total[at(x1, y0)] +
                            total[at(x0, y0)];
                    }
                }
                entry.total = total_of(entry.blocks.data());
                entry.place = {m, x, y};
                entries.push_back(entry);
            }
        }
    }
    m_slack = largest_error;
    std::sort(entries.begin(), entries.end(),
              [](const Entry &a, const Entry &b) { return a.total < b.total; });
    m_totals.reserve(entries.size());
    m_places.reserve(entries.size());
    m_blocks.reserve(entries.size() * blocks);
    for (const Entry &entry : entries) {
        m_totals.push_back(entry.total);
        m_places.push_back(entry.place);
        m_blocks.insert(m_blocks.end(), entry.blocks.begin(), entry.blocks.end());
    }
}

std::pair<std::size_t, std::size_t> WindowSums::range(double low, double high) const
{
    // A total adds up eight block sums, each off by at most the slack.
    low -= blocks * m_slack;
    high += blocks * m_slack;
    if (!(low <= high)) {
        return {0, 0};
    }
    const auto first = std::lower_bound(m_totals.begin(), m_totals.end(), low);
    const auto last = std::upper_bound(first, m_totals.end(), high);
    return {static_cast<std::size_t>(first - m_totals.begin()),
            static_cast<std::size_t>(last - m_totals.begin())};
}
