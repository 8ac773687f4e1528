#include "maps/sorted_cells.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

struct Owned {
    std::vector<float> values;
    std::vector<std::uint64_t> places;
    std::vector<float> next;
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
    owned->values.reserve(entries.size());
    owned->places.reserve(entries.size());
    owned->next.reserve(entries.size());
    for (const Entry &entry : entries) {
        owned->values.push_back(entry.value);
        owned->places.push_back(entry.place);
        owned->next.push_back(entry.next);
    }
    SortedCells cells;
    cells.values = owned->values.data();
    cells.places = owned->places.data();
    cells.next = owned->next.data();
    cells.size = owned->values.size();
    cells.storage = std::move(owned);
    return cells;
}
