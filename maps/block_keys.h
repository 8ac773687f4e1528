#pragma once
// Keys of blocks of 3 x 3 neighbouring map cells, for finding a noisy crop's windows without
// scoring every window. A block's cells are divided by the mean of their absolute values, so
// the key does not change when the image's contrast does (the descriptor's slopes scale with
// it, an offset of the grey levels leaves them alone); each quotient x is then cut into a few
// levels that grow geometrically (x < expm1(0.3), < expm1(0.6), ...), and its sign kept.
// Recompression moves a cell by a few percent of its value (JPEG at quality 75: a median of
// 2 %), so most blocks keep their key; a block of mostly flat cells, whose quotients noise
// moves most, has one of the few common keys, which a search does not look up.
//
// The levels come from comparisons of doubles formed the same way for the database's cells
// and the pattern's, so a block holding the same values always has the same key.

#include <QtGlobal>

#include <array>
#include <cstdint>

constexpr int key_block_side = 3;
constexpr int key_block_cells = key_block_side * key_block_side;
// Each cell's code: a level 0 to 7 and a sign, -8 to 7.
constexpr int key_code_count = 16;
using BlockCodes = std::array<std::int8_t, key_block_cells>;

// The codes of the block whose top-left cell is `cells` (rows `stride` floats apart); false
// when a cell is not a finite number.
bool block_codes(const float *cells, qint64 stride, BlockCodes &codes);

// The same in parts, for code that goes through every block of a map and adds up each row of
// three cells once: the sum of |v| of three cells of a row, of a block's three rows (in this
// order, so that a block's codes come out the same either way), and the codes from the sum.
double row_of_three(const float *cells);
double block_sum(double row0, double row1, double row2);
bool block_codes_of_sum(const float *cells, qint64 stride, double sum, BlockCodes &codes);

// The block's key: its codes, mixed so that the key's bits are spread evenly (the index takes
// its buckets from the high bits).
std::uint64_t key_of_codes(const BlockCodes &codes);

// How likely a block's codes are in a database, as the sum of each cell's log frequency of its
// code (cells taken as independent): a search looks up the pattern's least likely blocks,
// which have the fewest entries in the index and are the least moved by noise.
class KeyRarity
{
public:
    using Table = std::array<std::array<float, key_code_count>, key_block_cells>;

    KeyRarity();
    explicit KeyRarity(const Table &log_frequency)
        : m_log_frequency(log_frequency)
    {}

    // Frequencies from counts of each cell's codes (counts of 0 count as one half).
    static KeyRarity from_counts(
        const std::array<std::array<std::uint64_t, key_code_count>, key_block_cells> &counts);

    // The log probability of the codes: lower is rarer.
    double log_probability(const BlockCodes &codes) const;
    const Table &table() const { return m_log_frequency; }

private:
    Table m_log_frequency;
};
