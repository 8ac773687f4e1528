#include "search/cell_index.h"

#include <algorithm>
#include <cmath>

CellIndex::CellIndex(const QList<FeatureMap> &database)
    : CellIndex(sort_cells(database))
{}

CellIndex::CellIndex(SortedCells cells)
    : m_cells(std::move(cells))
{
    for (std::size_t b = 0; b < m_cells.blocks(); b += block_sample) {
        m_high_samples.push_back(m_cells.block_high[b]);
    }
}

namespace {

// The first of array[0, count) that fails `before`, which holds for those before it: a binary
// search whose steps do not branch on the comparisons.
template <class Before>
std::size_t partition_of(const float *array, std::size_t count, Before before)
{
    if (count == 0) {
        return 0;
    }
    const float *base = array;
    while (count > 1) {
        const std::size_t half = count / 2;
        base = before(base[half]) ? base + half : base;
        count -= half;
    }
    return std::size_t(base - array) + (before(*base) ? 1 : 0);
}

// The first of array[first, last) that fails `before` (which holds for those before it), where
// samples[k] is array[k * step]: the samples narrow the search to one stretch between two.
template <class Before>
std::size_t first_failing(const float *array, const float *samples, std::size_t step,
                          std::size_t first, std::size_t last, Before before)
{
    if (samples) {
        const std::size_t s0 = (first + step - 1) / step;
        const std::size_t s1 = std::max(s0, (last + step - 1) / step);
        const std::size_t j = s0 + partition_of(samples + s0, s1 - s0, before);
        if (j > s0) {
            first = std::max(first, std::min(last, (j - 1) * step));
        }
        if (j < s1) {
            last = std::max(first, std::min(last, j * step));
        }
    }
    return first + partition_of(array + first, last - first, before);
}

// The same, for a first failing one that is likely near `first`: steps that double, then a
// search of the last step.
template <class Before>
std::size_t first_failing_near(const float *array, std::size_t first, std::size_t last,
                               Before before)
{
    if (first >= last || !before(array[first])) {
        return first;
    }
    std::size_t holds = first;
    std::size_t step = 1;
    while (holds + step < last && before(array[holds + step])) {
        holds += step;
        step *= 2;
    }
    const std::size_t to = std::min(last, holds + step);
    return holds + 1 + partition_of(array + holds + 1, to - (holds + 1), before);
}

} // namespace

CellIndex CellIndex::slice_from(int first) const
{
    CellIndex slice = *this;
    slice.m_first_map = m_first_map + first;
    slice.m_shapes = std::make_shared<ShapesOnce>(); // the slice's maps, made when asked for
    return slice;
}

CellIndex::Span CellIndex::span(double low, double high) const
{
    Span span;
    span.low = low;
    span.high = high;
    const std::size_t blocks = m_cells.blocks();
    if (!(low <= high) || blocks == 0) {
        return span;
    }
    span.first = first_failing(m_cells.block_high, m_high_samples.data(), block_sample, 0, blocks,
                               [&](float v) { return double(v) < low; });
    // The last block is seldom far from the first.
    span.last = first_failing_near(m_cells.block_low, span.first, blocks,
                                   [&](float v) { return double(v) <= high; });
    return span;
}

bool CellIndex::entries_near(const Span &span, double centre, double right, double tolerance,
                             std::vector<std::size_t> &entries, std::size_t most) const
{
    const float *values = m_cells.values;
    const float *next = m_cells.next;
    const bool paired = next && !std::isnan(right);
    const std::size_t before = entries.size();
    for (std::size_t b = span.first; b < span.last; ++b) {
        const std::size_t first = b * cell_block;
        const std::size_t last = std::min(m_cells.size, first + cell_block);
        if (paired) {
            // Within a block the entries are in the order of their right neighbours.
            const float *samples = m_cells.next_samples;
            const std::size_t begin =
                first_failing(next, samples, cell_sample, first, last,
                              [&](float r) { return double(r) < right - tolerance; });
            // Few entries lie between: the end is looked for from the beginning.
            const std::size_t end = first_failing_near(
                next, begin, last, [&](float r) { return double(r) <= right + tolerance; });
            for (std::size_t k = begin; k < end; ++k) {
                if (std::fabs(double(values[k]) - centre) + std::fabs(double(next[k]) - right) <=
                    tolerance) {
                    entries.push_back(k);
                }
            }
        } else {
            for (std::size_t k = first; k < last; ++k) {
                const double v = values[k];
                if (v >= span.low && v <= span.high) {
                    entries.push_back(k);
                }
            }
        }
        if (entries.size() - before > most) {
            return false;
        }
    }
    return true;
}

std::size_t CellIndex::count_about(const Span &span) const
{
    // The blocks within, less the shares of the end blocks outside [low, high], as though a
    // block's values were spread evenly between its least and greatest.
    const float *lows = m_cells.block_low;
    const float *highs = m_cells.block_high;
    if (span.first >= span.last) {
        return 0;
    }
    auto entries_of = [&](std::size_t b) {
        return double(std::min(m_cells.size, (b + 1) * cell_block) - b * cell_block);
    };
    auto share_inside = [&](std::size_t b) {
        const double low = lows[b];
        const double high = highs[b];
        if (!(high > low)) {
            return 1.0;
        }
        const double inside = std::min(high, span.high) - std::max(low, span.low);
        return std::clamp(inside / (high - low), 0.0, 1.0);
    };
    double count = double(span.last - span.first) * double(cell_block);
    count -= double(cell_block) - entries_of(span.last - 1);
    count -= entries_of(span.first) * (1 - share_inside(span.first));
    if (span.last - 1 != span.first) {
        count -= entries_of(span.last - 1) * (1 - share_inside(span.last - 1));
    }
    return count > 0 ? static_cast<std::size_t>(count + 0.5) : 0;
}

float CellIndex::median() const
{
    const std::size_t blocks = m_cells.blocks();
    return blocks == 0 ? 0.0f : m_cells.block_low[blocks / 2];
}

const CellIndex::MapShapes &CellIndex::map_shapes(const QList<FeatureMap> &database) const
{
    std::call_once(m_shapes->once, [&] {
        MapShapes &shapes = m_shapes->shapes;
        QHash<QPair<int, int>, qint64> counts;
        for (int m = 0; m < database.size(); ++m) {
            const FeatureMap &map = database[m];
            ++counts[qMakePair(map.width, map.height)];
        }
        for (auto size = counts.cbegin(); size != counts.cend(); ++size) {
            shapes.sizes.push_back({QSize(size.key().first, size.key().second), size.value()});
        }
    });
    return m_shapes->shapes;
}

const std::vector<int> *CellIndex::maps_named(const QList<FeatureMap> &database,
                                              const QString &name) const
{
    std::call_once(m_shapes->names_once, [&] {
        for (int m = 0; m < database.size(); ++m) {
            m_shapes->by_name[database[m].name].push_back(m);
        }
    });
    const auto named = m_shapes->by_name.constFind(name);
    return named == m_shapes->by_name.constEnd() ? nullptr : &*named;
}
