#pragma once
// Every finite cell value of a database, sorted: which cells of which maps hold values in a
// given range. Built once when a database is loaded for the aligned search; the database file
// is the same. Cells that are not finite are left out: a window holding one never scores below
// the cut-off score 9999.

#include "maps/feature_map.h"
#include "maps/sorted_cells.h"

#include <QHash>
#include <QList>
#include <QSize>
#include <QString>

#include <cstdint>
#include <memory>
#include <mutex>
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
    // The value right of entry k's cell in its map (not a number in the last column), when
    // the index knows them (null otherwise).
    const float *next_values() const { return m_cells.next; }

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
        return m_cells.size * (2 * sizeof(float) + sizeof(std::uint64_t)) +
               m_grid_ranks.size() * sizeof(std::uint32_t);
    }

    // The sizes of the database's maps and the maps of each name: what a search asks of every
    // map (how many window positions a size has, whether other images have windows) answered
    // without visiting them. Made on the first call, for the database the index was made for.
    struct MapShapes {
        std::vector<std::pair<QSize, qint64>> sizes; // each size of map, and its count
        QHash<QString, std::vector<int>> by_name;    // the maps of each name
    };
    const MapShapes &map_shapes(const QList<FeatureMap> &database) const;

private:
    struct ShapesOnce {
        std::once_flag once;
        MapShapes shapes;
    };
    void make_grid();
    double rank_about(double value) const;

    SortedCells m_cells;
    double m_grid_low = 0;
    double m_grid_high = 0;
    std::vector<std::uint32_t> m_grid_ranks; // rank of grid value low + g (high - low) / G
    std::shared_ptr<ShapesOnce> m_shapes = std::make_shared<ShapesOnce>();
};
