#pragma once
// The block sums of every window of one size in a database, sorted by several keys: which
// windows could score at most T against a pattern. A window is cut into blocks (4 across, 2
// down); for each block, |block sum of D - block sum of P| is at most the sum of |D - P| over
// the block, so the sum over the blocks is at most the window's score. So is |K(D) - K(P)| for
// any key K = sum of w_b times the block sums with every |w_b| <= 1: only windows whose key
// lies within T of the pattern's can score T or less. The windows are kept in the order of
// their total; a search takes those whose total lies within T of the pattern's, then tests
// the blocks one by one, a few subtractions.
// Windows holding a cell that is not finite are left out: they never score below the cut-off
// score 9999.

#include "maps/feature_map.h"

#include <QList>

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

class WindowSums
{
public:
    static constexpr int across = 4;
    static constexpr int down = 2;
    static constexpr int blocks = across * down;

    using Blocks = std::array<double, blocks>;

    WindowSums(const QList<FeatureMap> &database, int width, int height);

    std::size_t size() const { return m_places.size(); }
    int map(std::size_t window) const { return m_places[window].map; }
    int x(std::size_t window) const { return m_places[window].x; }
    int y(std::size_t window) const { return m_places[window].y; }
    const double *block_sums(std::size_t window) const { return m_blocks.data() + window * blocks; }
    // Cell (column, row) of a window lies in block block_of(column, row).
    int block_of(int column, int row) const
    {
        return column * across / m_width + across * (row * down / m_height);
    }
    // The total of block sums.
    static double total_of(const double *block_sums);
    // How far any block sum here may be off by rounding.
    double slack() const { return m_slack; }

    // The windows whose total lies in [low, high], widened by the rounding of the totals here:
    // [first, last) in the order of totals, which is the order of the windows here.
    std::pair<std::size_t, std::size_t> range(double low, double high) const;

private:
    struct Place {
        int map;
        int x;
        int y;
    };
    int m_width;
    int m_height;
    std::vector<Place> m_places;
    std::vector<double> m_blocks;
    std::vector<double> m_totals; // sorted
    double m_slack = 0;
};
