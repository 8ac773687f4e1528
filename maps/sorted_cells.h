#pragma once
// Every finite cell value of a list of maps, in blocks: the arrays behind the aligned search's
// index. Built from maps, or read from a database's binary index, where they stay in the file's
// memory mapping.
//
// The entries are sorted by value (ties by place) and cut into blocks of `cell_block`
// consecutive entries; within a block they are sorted again by the value right of each cell
// (not a number last; equal ones by value, then place). So the entries near a value are a few
// blocks found from the blocks' least and greatest values alone, and within a block, those whose
// right neighbour is near another value are a range: a window's two cells are looked up together
// without reading the entries of either one alone.

#include "maps/feature_map.h"

#include <QList>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

constexpr std::size_t cell_block = 4096;
// Every this many entries, the value right of the entry is kept apart as well: a block's few
// samples tell which stretch of it to search.
constexpr std::size_t cell_sample = 64;

struct SortedCells {
    std::shared_ptr<const void> storage; // keeps the arrays alive
    const float *values = nullptr;
    const std::uint64_t *places = nullptr; // map << 32 | cell index x + y * width
    // The value of the cell to the right of each entry's cell in its map (not a number in the
    // last column): a second cell of every window, checked without reading the map.
    const float *next = nullptr;
    // The least and greatest value of each block.
    const float *block_low = nullptr;
    const float *block_high = nullptr;
    // next[k * cell_sample] for every k.
    const float *next_samples = nullptr;
    std::size_t size = 0;

    std::size_t blocks() const { return (size + cell_block - 1) / cell_block; }
    std::size_t samples() const { return (size + cell_sample - 1) / cell_sample; }
};

SortedCells sort_cells(const QList<FeatureMap> &maps);

// The same arrays for more maps than memory holds at once, handed on block by block in order
// instead of kept: a first pass over the maps counts their cells by the high bits of their
// values; each further pass collects the cells of one range of values from every map, in map
// order, and sorts them (a range whose cells share one value needs no sort and is handed on
// as it comes; a range of too many cells is first counted again, finer).
class CellSorter
{
public:
    // Entries in their final order, some at a time: values, places, values right.
    using Sink = std::function<void(const float *values, const std::uint64_t *places,
                                    const float *next, std::size_t count)>;

    // Every pass holds at most about `most_entries` cells (16 bytes each, twice while sorting).
    CellSorter(std::size_t most_entries, Sink sink);
    ~CellSorter();
    CellSorter(const CellSorter &) = delete;
    CellSorter &operator=(const CellSorter &) = delete;

    // The first pass: maps in order, numbered from 0 up.
    void count(const FeatureMap &map);
    std::size_t size() const { return m_size; }

    // Whether another pass over the maps is needed; add() each map of it in order, then
    // finish_pass(). Entries go to the sink as their blocks are complete.
    bool next_pass();
    void add(std::uint32_t map_number, const FeatureMap &map);
    // The same for consecutive maps numbered from `first_number`, on `threads` threads.
    void add(std::uint32_t first_number, const std::vector<FeatureMap> &maps, int threads);
    void finish_pass();
    // After the last pass: the last block, then the blocks' least and greatest values and the
    // samples of the values right are complete.
    void finish();
    const std::vector<float> &block_low() const;
    const std::vector<float> &block_high() const;
    const std::vector<float> &next_samples() const;

private:
    struct State;
    std::unique_ptr<State> m;
    std::size_t m_size = 0;
};
