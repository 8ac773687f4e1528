#include "search/window_bounds.h"

#include "search/window_compare.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double epsilon = std::numeric_limits<double>::epsilon();

// The largest magnitude of a cell, or infinity when a cell is not finite: the magnitude bits of
// floats order like their values, and those of infinities and NaNs come last.
double largest_magnitude(const FeatureMap &map)
{
    std::uint32_t largest = 0;
    const float *cells = map.data();
    for (qint64 k = 0; k < map.cell_count(); ++k) {
        std::uint32_t bits;
        std::memcpy(&bits, cells + k, sizeof bits);
        largest = std::max(largest, bits & 0x7fffffffu);
    }
    if (largest >= 0x7f800000u) {
        return infinity;
    }
    float value;
    std::memcpy(&value, &largest, sizeof value);
    return value;
}

} // namespace

double drop_threshold(float best)
{
    if (!(best < cut_off_score)) {
        return infinity;
    }
    const double next = std::nextafter(best, std::numeric_limits<float>::infinity());
    return (double(best) + next) / 2;
}

PatternSums::PatternSums(const FeatureMap &pattern)
    : columns(static_cast<std::size_t>(std::max(pattern.width, 0)), 0.0)
    , cells(double(pattern.cell_count()))
{
    for (int l = 0; l < pattern.height; ++l) {
        for (int k = 0; k < pattern.width; ++k) {
            const double value = pattern.at(k, l);
            columns[static_cast<std::size_t>(k)] += value;
            // (value - value) is NaN for a value that is not finite, and stays so.
            largest = std::max(largest, std::fabs(value)) + (value - value);
        }
    }
}

MapPieces::MapPieces(const FeatureMap &map, int pattern_height)
    : m_width(map.width)
    , m_map_height(map.height)
{
    const int width = map.width;
    const int rows = map.height - pattern_height + 1;
    const int ph = pattern_height;
    m_largest = largest_magnitude(map);
    if (!std::isfinite(m_largest) || rows <= 0 || ph <= 0) {
        return;
    }
    // Sliding sums down the map, a row at a time: each piece adds one cell and removes one.
    m_pieces.assign(static_cast<std::size_t>(width) * rows, 0.0);
    double *first = m_pieces.data();
    for (int l = 0; l < ph; ++l) {
        const float *cells = map.data() + qint64(l) * width;
        for (int x = 0; x < width; ++x) {
            first[x] += cells[x];
        }
    }
    for (int y = 1; y < rows; ++y) {
        const double *above = m_pieces.data() + static_cast<std::size_t>(y - 1) * width;
        double *piece = m_pieces.data() + static_cast<std::size_t>(y) * width;
        const float *entering = map.data() + qint64(y + ph - 1) * width;
        const float *leaving = map.data() + qint64(y - 1) * width;
        for (int x = 0; x < width; ++x) {
            piece[x] = above[x] + (double(entering[x]) - double(leaving[x]));
        }
    }
}

MapBounds::MapBounds(const MapPieces &pieces, const FeatureMap &pattern, const PatternSums &sums)
    : m_pieces(pieces)
{
    const double largest = std::max(sums.largest, pieces.largest());
    if (!pieces.usable() || !std::isfinite(largest)) {
        return;
    }
    m_usable = true;
    const double terms = 2.0 * pieces.map_height() + 2.0 * pattern.width + pattern.height + 4;
    m_slack = 4 * epsilon * largest * sums.cells * terms;
}
