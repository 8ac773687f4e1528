#pragma once
// When a window can be left unscored. A window is only ever dropped when it provably cannot
// score at or below the best score so far; scores are sums of |D - P| in double rounded to
// float, so every comparison here leaves room for that rounding.
//
// Lower bounds: for every window the triangle inequality gives
//   sum_k |sum_l D(x + k, y + l) - sum_l P(k, l)|  <=  sum_k sum_l |D(x + k, y + l) - P(k, l)|,
// whose left side costs one term per pattern column with the map's sums over pattern-high
// column pieces. Both sides are formed in double from floats; `slack` bounds the rounding of
// the left side.

#include "maps/feature_map.h"
#include "search/score_kernels.h"

#include <limits>
#include <vector>

// A running sum above this value rounds to a score above `best`. Infinite (nothing is dropped)
// while `best` is not below the cut-off score 9999: a cut-off window could still beat or tie
// it.
double drop_threshold(float best);

// The pattern's column sums.
struct PatternSums {
    std::vector<double> columns; // sum over the rows of each pattern column
    double largest = 0;          // largest magnitude of a cell; not finite: no lower bounds
    double cells = 0;

    explicit PatternSums(const FeatureMap &pattern);
};

// The map's part of the lower bounds of its windows for patterns of one height: its sums over
// pattern-high column pieces. The same for every pattern of that height. A map with a cell
// that is not finite has none (`usable()` is false): its windows are scored without bounds.
class MapPieces
{
public:
    MapPieces(const FeatureMap &map, int pattern_height);

    bool usable() const { return !m_pieces.empty(); }
    double largest() const { return m_largest; } // of the map's cells

    // Lower bounds of the windows at x .. x + 7 of row offset y (x + 7 + pattern width within
    // the map).
    void bounds_at(const ScoreKernels &kernels, const PatternSums &sums, int x, int y,
                   double bounds[kernel_lanes]) const
    {
        kernels.bounds_eight(m_pieces.data() + static_cast<std::size_t>(y) * m_width + x,
                             sums.columns.data(), static_cast<int>(sums.columns.size()), bounds);
    }

    int map_height() const { return m_map_height; }

private:
    std::vector<double> m_pieces; // sum of D(x', y .. y + ph - 1) at y * width + x'
    double m_largest = 0;
    int m_width = 0;
    int m_map_height = 0;
};

// The lower bounds of one map's windows for one pattern. Both sides of the bound are formed in
// double from floats; the slack bounds the rounding of the left side.
class MapBounds
{
public:
    MapBounds(const MapPieces &pieces, const FeatureMap &pattern, const PatternSums &sums);

    bool usable() const { return m_usable; }
    void bounds_at(const ScoreKernels &kernels, const PatternSums &sums, int x, int y,
                   double bounds[kernel_lanes]) const
    {
        m_pieces.bounds_at(kernels, sums, x, y, bounds);
    }

    // A window whose bound exceeds this cannot score at or below what the drop threshold
    // `threshold` stands for.
    double bound_limit(double threshold, double cells) const
    {
        return threshold * (1 + 4 * (cells + 1) * std::numeric_limits<double>::epsilon()) + m_slack;
    }

private:
    const MapPieces &m_pieces;
    bool m_usable = false;
    double m_slack = std::numeric_limits<double>::infinity();
};
