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

    // The same cells seen from a slice of the database, the maps from `first` on numbered from
    // 0: entries of maps before the slice read as maps below 0, those after as maps beyond its
    // end, which a search of the slice passes over. Nothing is copied.
    CellIndex slice_from(int first) const;

    std::size_t size() const { return m_cells.size; }
    float value(std::size_t k) const { return m_cells.values[k]; }
    const SortedCells &cells() const { return m_cells; }
    int map(std::size_t k) const
    {
        return static_cast<int>(std::int64_t(m_cells.places[k] >> 32) - m_first_map);
    }
    int cell(std::size_t k) const { return static_cast<int>(m_cells.places[k] & 0xffffffffu); }

    // The blocks whose values may lie within [low, high]: where entries near a value are.
    struct Span {
        double low = 0;
        double high = 0;
        std::size_t first = 0; // blocks [first, last)
        std::size_t last = 0;
    };
    Span span(double low, double high) const;

    // Appends to `entries` the entries of `span` whose value v lies within `tolerance` of
    // `centre` (the span's low and high are centre -/+ tolerance) and, when `right` is a number,
    // whose cell's right neighbour r has |v - centre| + |r - right| within it too; a cell in the
    // last column or with a neighbour not finite passes no such test. Stops once more than
    // `most` were appended: false then.
    bool entries_near(const Span &span, double centre, double right, double tolerance,
                      std::vector<std::size_t> &entries, std::size_t most) const;
    bool entries_near(double centre, double right, double tolerance,
                      std::vector<std::size_t> &entries, std::size_t most) const
    {
        return entries_near(span(centre - tolerance, centre + tolerance), centre, right, tolerance,
                            entries, most);
    }

    // About how many entries lie in [low, high], from the blocks' least and greatest values
    // alone. For choosing where to look, not for deciding anything exactly.
    std::size_t count_about(const Span &span) const;
    std::size_t count_about(double low, double high) const { return count_about(span(low, high)); }

    // The middle value, about; 0 for an empty index.
    float median() const;

    std::size_t memory_bytes() const
    {
        return m_cells.size * (2 * sizeof(float) + sizeof(std::uint64_t)) +
               (m_cells.blocks() * 2 + m_cells.samples()) * sizeof(float);
    }

    // The sizes of the database's maps and the maps of each name: what a search asks of every
    // map (how many window positions a size has, whether other images have windows) answered
    // without visiting them. Made on the first call, for the database the index was made for:
    // the sizes first, the names (a table of every map's name) only when asked for.
    struct MapShapes {
        std::vector<std::pair<QSize, qint64>> sizes; // each size of map, and its count
    };
    const MapShapes &map_shapes(const QList<FeatureMap> &database) const;
    // The maps named `name`; null when none is.
    const std::vector<int> *maps_named(const QList<FeatureMap> &database,
                                       const QString &name) const;

private:
    struct ShapesOnce {
        std::once_flag once;
        MapShapes shapes;
        std::once_flag names_once;
        QHash<QString, std::vector<int>> by_name;
    };
    static constexpr std::size_t block_sample = 64;

    SortedCells m_cells;
    int m_first_map = 0;
    std::vector<float> m_high_samples; // the greatest value of every block_sample-th block
    std::shared_ptr<ShapesOnce> m_shapes = std::make_shared<ShapesOnce>();
};
