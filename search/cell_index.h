#pragma once
// Every finite cell value of a database, sorted: which cells of which maps hold values in a
// given range. Built once when a database is loaded for the aligned search; the database file
// is the same. Cells that are not finite are left out: a window holding one never scores below
// the cut-off score 9999.

#include "maps/feature_map.h"

#include <QList>

#include <cstdint>
#include <utility>
#include <vector>

class CellIndex
{
public:
    CellIndex() = default;
    explicit CellIndex(const QList<FeatureMap> &database);

    std::size_t size() const { return m_values.size(); }
    float value(std::size_t k) const { return m_values[k]; }
    int map(std::size_t k) const { return static_cast<int>(m_places[k] >> 32); }
    int cell(std::size_t k) const { return static_cast<int>(m_places[k] & 0xffffffffu); }

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
        return m_values.capacity() * sizeof(float) + m_places.capacity() * sizeof(std::uint64_t);
    }

private:
    double rank_about(double value) const;

    std::vector<float> m_values;
    double m_grid_low = 0;
    double m_grid_high = 0;
    std::vector<std::uint32_t> m_grid_ranks; // rank of grid value low + g (high - low) / G
    std::vector<std::uint64_t> m_places;     // map << 32 | cell index x + y * width
};
