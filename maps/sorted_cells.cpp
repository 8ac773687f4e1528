#include "maps/sorted_cells.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
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

struct Entry {
    float value;
    float next;
    std::uint64_t place;
};

// A key whose unsigned order is the order of the values: -0 as +0, not a number after all.
std::uint32_t order_key(float value)
{
    if (std::isnan(value)) {
        return 0xffffffffu;
    }
    if (value == 0) {
        value = 0; // -0 ties with +0
    }
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits & 0x80000000u ? ~bits : bits | 0x80000000u;
}

// Sorts entries[0, count) by key, keeping the order of equal keys: `bits` bits at a time,
// from the lowest, through `spare` (as many entries); digits that every key shares are skipped.
template <int bits, class Key>
void radix_sort(Entry *entries, Entry *spare, std::size_t count, Key key)
{
    constexpr int digits = (32 + bits - 1) / bits;
    constexpr std::uint32_t mask = (1u << bits) - 1;
    // The counts of every digit of the keys, in one reading.
    std::array<std::array<std::size_t, (1u << bits) + 1>, digits> starts{};
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint32_t code = key(entries[k]);
        for (int digit = 0; digit < digits; ++digit) {
            ++starts[std::size_t(digit)][((code >> (bits * digit)) & mask) + 1];
        }
    }
    Entry *from = entries;
    Entry *to = spare;
    for (int digit = 0; digit < digits; ++digit) {
        auto &start = starts[std::size_t(digit)];
        if (std::find(start.begin() + 1, start.end(), count) != start.end()) {
            continue;
        }
        for (std::size_t b = 1; b < start.size(); ++b) {
            start[b] += start[b - 1];
        }
        const int shift = bits * digit;
        for (std::size_t k = 0; k < count; ++k) {
            to[start[(key(from[k]) >> shift) & mask]++] = from[k];
        }
        std::swap(from, to);
    }
    if (from != entries) {
        std::copy(from, from + count, entries);
    }
}

} // namespace

SortedCells sort_cells(const QList<FeatureMap> &maps)
{
    std::vector<Entry> entries;
    std::size_t total = 0;
    for (const FeatureMap &map : maps) {
        total += static_cast<std::size_t>(map.has_values() ? map.cell_count() : 0);
    }
    entries.reserve(total);
    // In the order of places: the sorts below keep it among equal values.
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
    std::vector<Entry> spare(entries.size());
    radix_sort<11>(entries.data(), spare.data(), entries.size(),
                   [](const Entry &entry) { return order_key(entry.value); });
    spare = std::vector<Entry>(std::min(entries.size(), cell_block));
    auto owned = std::make_shared<Owned>();
    for (std::size_t first = 0; first < entries.size(); first += cell_block) {
        const std::size_t count = std::min(entries.size() - first, cell_block);
        owned->block_low.push_back(entries[first].value);
        owned->block_high.push_back(entries[first + count - 1].value);
        // By the value right of each cell, not a number after every value; equal ones stay in
        // the order of their values, then places.
        radix_sort<8>(entries.data() + first, spare.data(), count,
                      [](const Entry &entry) { return order_key(entry.next); });
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
