#pragma once
// Every finite cell value of a database, sorted: which cells of which maps hold values in a
// given range. Built once when a database is loaded for the aligned search; the database file
// is the same. Cells that are not finite are left out: a window holding one never scores below
// the cut-off score 9999.

#include "maps/feature_map.h"
#include "maps/sorted_cells.h"

#include <QList>

#include <cstdint>
#include <utility>
#include <vector>

class CellIndex
{
public:
    CellIndex() = default;
    explicit CellIndex(const QList<FeatureMap> &database);
    // From cells sorted already (a database's binary index), which must be those of the maps.
    explicit CellIndex(SortedCells cells);

    std::size_t size() const { return m_cells.size; }
    float value(std::size_t k) const { return m_cells.values[k]; }
    const SortedCells &cells() const { return m_cells; }
    int map(std::size_t k) const { return static_cast<int>(m_cells.places[k] >> 32); }
    int cell(std::size_t k) const { return static_cast<int>(m_cells.places[k] & 0xffffffffu); }

    // The entries whose value v satisfies low <= v <= high: [first, last).
    std::pair<std::size_t, std::size_t> range(double low, double high) const;

    // About how many entries lie in [low, high], in O(1): from a table of ranks on a grid of
    // values over the bulk of the index (the tails are searched). For choosing where to look,
    // not for deciding anything exactly.
    std::size_t count_about(double low, double high) const;

    // The middle value, 0 for an empty index.
    float median() const;

    std::size_t memory_bytes() const
    {
        return m_cells.size * (sizeof(float) + sizeof(std::uint64_t)) +
               m_grid_ranks.size() * sizeof(std::uint32_t);
    }

private:
    void make_grid();
    double rank_about(double value) const;

    SortedCells m_cells;
    double m_grid_low = 0;
    double m_grid_high = 0;
    std::vector<std::uint32_t> m_grid_ranks; // rank of grid value low + g (high - low) / G
};
