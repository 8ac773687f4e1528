#include "maps/sorted_cells.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

struct Owned {
    std::vector<float> values;
    std::vector<std::uint64_t> places;
    std::vector<float> next;
    std::vector<float> block_low;
    std::vector<float> block_high;
    std::vector<float> next_samples;
};

} // namespace

SortedCells sort_cells(const QList<FeatureMap> &maps)
{
    struct Entry {
        float value;
        float next;
        std::uint64_t place;
    };
    std::vector<Entry> entries;
    std::size_t total = 0;
    for (const FeatureMap &map : maps) {
        total += static_cast<std::size_t>(map.has_values() ? map.cell_count() : 0);
    }
    entries.reserve(total);
    for (int m = 0; m < maps.size(); ++m) {
        const FeatureMap &map = maps[m];
        if (!map.has_values()) {
            continue;
        }
        const float *cells = map.data();
        for (qint64 k = 0; k < map.cell_count(); ++k) {
            if (std::isfinite(cells[k])) {
                const bool last_column = (k + 1) % map.width == 0;
                entries.push_back({cells[k], last_column ? std::nanf("") : cells[k + 1],
                                   std::uint64_t(m) << 32 | std::uint64_t(k)});
            }
        }
    }
    std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
        return a.value < b.value || (a.value == b.value && a.place < b.place);
    });
    auto owned = std::make_shared<Owned>();
    for (std::size_t first = 0; first < entries.size(); first += cell_block) {
        const auto begin = entries.begin() + std::ptrdiff_t(first);
        const auto end =
            entries.begin() + std::ptrdiff_t(std::min(entries.size(), first + cell_block));
        owned->block_low.push_back(begin->value);
        owned->block_high.push_back((end - 1)->value);
        // By the value right of each cell, not a number after every value.
        std::sort(begin, end, [](const Entry &a, const Entry &b) {
            const bool a_nan = std::isnan(a.next);
            const bool b_nan = std::isnan(b.next);
            if (a_nan != b_nan) {
                return b_nan;
            }
            return (!a_nan && a.next < b.next) ||
                   ((a_nan || a.next == b.next) && a.place < b.place);
        });
    }
    owned->values.reserve(entries.size());
    owned->places.reserve(entries.size());
    owned->next.reserve(entries.size());
    for (const Entry &entry : entries) {
        owned->values.push_back(entry.value);
        owned->places.push_back(entry.place);
        owned->next.push_back(entry.next);
    }
    for (std::size_t k = 0; k < entries.size(); k += cell_sample) {
        owned->next_samples.push_back(entries[k].next);
    }
    SortedCells cells;
    cells.values = owned->values.data();
    cells.places = owned->places.data();
    cells.next = owned->next.data();
    cells.block_low = owned->block_low.data();
    cells.block_high = owned->block_high.data();
    cells.next_samples = owned->next_samples.data();
    cells.size = owned->values.size();
    cells.storage = std::move(owned);
    return cells;
}
