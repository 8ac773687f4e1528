#pragma once
// Every finite cell value of a list of maps, sorted by value (ties by place): the arrays
// behind the aligned search's index. Built from maps, or read from a database's binary index,
// where they stay in the file's memory mapping.

#include "maps/feature_map.h"

#include <QList>

#include <cstdint>
#include <memory>

struct SortedCells {
    std::shared_ptr<const void> storage; // keeps the arrays alive
    const float *values = nullptr;
    const std::uint64_t *places = nullptr; // map << 32 | cell index x + y * width
    // The value of the cell to the right of each entry's cell in its map (not a number in the
    // last column): a second cell of every window, checked without reading the map.
    const float *next = nullptr;
    std::size_t size = 0;
};

SortedCells sort_cells(const QList<FeatureMap> &maps);
