#include "maps/block_keys.h"

#include <cmath>
#include <iterator>

namespace {

// expm1(0.3 k) for k = 1 to 7, written out so that every machine cuts at the same places:
// a quotient is at most 9 (one cell holding the whole block), so there are eight levels.
constexpr double level_bounds[] = {0.3498588075760031, 0.8221188003905089, 1.4596031111569494,
                                   2.3201169227365472, 3.481689070338065,  5.049647464412945,
                                   7.166169912567651};

} // namespace

double row_of_three(const float *cells)
{
    return (std::fabs(double(cells[0])) + std::fabs(double(cells[1]))) +
           std::fabs(double(cells[2]));
}

double block_sum(double row0, double row1, double row2)
{
    return (row0 + row1) + row2;
}

bool block_codes_of_sum(const float *cells, qint64 stride, double sum, BlockCodes &codes)
{
    if (!std::isfinite(sum)) {
        return false; // a cell that is not a finite number
    }
    // |v| / mean |v| >= bound, without a division: |v| * cells >= bound * sum.
    static_assert(std::size(level_bounds) == 7, "three halvings find one of eight levels");
    double bounds[std::size(level_bounds)];
    for (std::size_t k = 0; k < std::size(level_bounds); ++k) {
        bounds[k] = level_bounds[k] * sum;
    }
    for (int j = 0; j < key_block_side; ++j) {
        for (int i = 0; i < key_block_side; ++i) {
            const double value = cells[i + j * stride];
            const double scaled = std::fabs(value) * key_block_cells;
            // The number of bounds at or below `scaled`, by halving: the bounds rise.
            int level = scaled >= bounds[3] ? 4 : 0;
            level += scaled >= bounds[level + 1] ? 2 : 0;
            level += scaled >= bounds[level] ? 1 : 0;
            codes[std::size_t(i + j * key_block_side)] =
                static_cast<std::int8_t>(value < 0 ? -level - 1 : level);
        }
    }
    return true;
}

bool block_codes(const float *cells, qint64 stride, BlockCodes &codes)
{
    const double sum = block_sum(row_of_three(cells), row_of_three(cells + stride),
                                 row_of_three(cells + 2 * stride));
    return block_codes_of_sum(cells, stride, sum, codes);
}

std::uint64_t key_of_codes(const BlockCodes &codes)
{
    std::uint64_t packed = 0;
    for (std::int8_t code : codes) {
        packed = packed << 4 | std::uint64_t(code + key_code_count / 2);
    }
    // SplitMix64's finaliser: a bijection, so distinct codes keep distinct keys.
    packed += 0x9e3779b97f4a7c15ull;
    packed = (packed ^ (packed >> 30)) * 0xbf58476d1ce4e5b9ull;
    packed = (packed ^ (packed >> 27)) * 0x94d049bb133111ebull;
    return packed ^ (packed >> 31);
}

KeyRarity::KeyRarity()
{
    for (auto &cell : m_log_frequency) {
        cell.fill(float(std::log(1.0 / key_code_count)));
    }
}

KeyRarity KeyRarity::from_counts(
    const std::array<std::array<std::uint64_t, key_code_count>, key_block_cells> &counts)
{
    Table table;
    for (std::size_t c = 0; c < counts.size(); ++c) {
        double total = 0;
        for (std::uint64_t count : counts[c]) {
            total += double(count);
        }
        for (std::size_t code = 0; code < counts[c].size(); ++code) {
            const double share = (double(counts[c][code]) + 0.5) / (total + 0.5 * key_code_count);
            table[c][code] = float(std::log(share));
        }
    }
    return KeyRarity(table);
}

double KeyRarity::log_probability(const BlockCodes &codes) const
{
    double sum = 0;
    for (std::size_t c = 0; c < codes.size(); ++c) {
        sum += m_log_frequency[c][std::size_t(codes[c] + key_code_count / 2)];
    }
    return sum;
}
