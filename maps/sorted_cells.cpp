#include "maps/sorted_cells.h"

#include "support/threads.h"

#include <algorithm>
#include <array>
#include <atomic>
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

namespace {

// A range of value keys [low, high] and how many cells it holds.
struct KeyRange {
    std::uint32_t low;
    std::uint32_t high;
    std::uint64_t count;
    bool fine; // counted at the full resolution of the keys
};

constexpr int coarse_bits = 16;
constexpr std::uint32_t fine_mask = (1u << (32 - coarse_bits)) - 1;

// Consecutive keys grouped into ranges of at most `most` cells, counts[k] holding key first + k
// (`fine`: one key each; else each a coarse prefix of 2^16 keys).
void group(const std::vector<std::uint64_t> &counts, std::uint32_t first, int shift,
           std::size_t most, std::vector<KeyRange> &ranges)
{
    const bool fine = shift == 0;
    std::size_t k = 0;
    while (k < counts.size()) {
        const std::uint32_t low = first + (std::uint32_t(k) << shift);
        std::uint64_t count = counts[k];
        std::size_t end = k + 1;
        while (end < counts.size() && count + counts[end] <= most) {
            count += counts[end++];
        }
        const std::uint32_t high = first + (std::uint32_t(end) << shift) - 1;
        if (count > 0) {
            ranges.push_back({low, high, count, fine});
        }
        k = end;
    }
}

} // namespace

struct CellSorter::State {
    enum class Pass { none, fine_count, collect, stream };

    std::size_t most;
    Sink sink;
    std::vector<std::uint64_t> coarse = std::vector<std::uint64_t>(std::size_t(1) << coarse_bits);
    bool grouped = false;
    std::vector<KeyRange> ranges;
    std::size_t next_range = 0;
    Pass pass = Pass::none;
    std::vector<std::uint64_t> fine;
    std::vector<Entry> entries;
    std::vector<Entry> sorting;            // room for sorting them
    std::vector<std::vector<Entry>> parts; // each thread's, kept from batch to batch
    // The block being filled, and what the blocks handed on give.
    std::vector<Entry> block;
    std::vector<Entry> spare = std::vector<Entry>(cell_block);
    std::vector<float> values;
    std::vector<std::uint64_t> places;
    std::vector<float> next;
    std::vector<float> lows;
    std::vector<float> highs;
    std::vector<float> samples;
    std::size_t handed = 0;

    void push(const Entry &entry)
    {
        block.push_back(entry);
        if (block.size() == cell_block) {
            hand_on_block();
        }
    }

    void hand_on_block()
    {
        if (block.empty()) {
            return;
        }
        lows.push_back(block.front().value);
        highs.push_back(block.back().value);
        radix_sort<8>(block.data(), spare.data(), block.size(),
                      [](const Entry &entry) { return order_key(entry.next); });
        values.clear();
        places.clear();
        next.clear();
        for (std::size_t k = 0; k < block.size(); ++k) {
            if ((handed + k) % cell_sample == 0) {
                samples.push_back(block[k].next);
            }
            values.push_back(block[k].value);
            places.push_back(block[k].place);
            next.push_back(block[k].next);
        }
        sink(values.data(), places.data(), next.data(), block.size());
        handed += block.size();
        block.clear();
    }

    const KeyRange &range() const { return ranges[next_range]; }
};

CellSorter::CellSorter(std::size_t most_entries, Sink sink)
    : m(std::make_unique<State>())
{
    m->most = std::max<std::size_t>(most_entries, 1);
    m->sink = std::move(sink);
    m->block.reserve(cell_block);
}

CellSorter::~CellSorter() = default;

namespace {

// Calls visit(key, entry) for every finite cell of the map, in place order.
template <class Visit> void each_cell(std::uint32_t map_number, const FeatureMap &map, Visit visit)
{
    if (!map.has_values()) {
        return;
    }
    const float *cells = map.data();
    for (qint64 k = 0; k < map.cell_count(); ++k) {
        if (std::isfinite(cells[k])) {
            const bool last_column = (k + 1) % map.width == 0;
            const Entry entry{cells[k], last_column ? std::nanf("") : cells[k + 1],
                              std::uint64_t(map_number) << 32 | std::uint64_t(k)};
            visit(order_key(entry.value), entry);
        }
    }
}

} // namespace

void CellSorter::count(const FeatureMap &map)
{
    each_cell(0, map, [&](std::uint32_t key, const Entry &) {
        ++m->coarse[key >> (32 - coarse_bits)];
        ++m_size;
    });
}

bool CellSorter::next_pass()
{
    if (!m->grouped) {
        group(m->coarse, 0, 32 - coarse_bits, m->most, m->ranges);
        m->coarse = std::vector<std::uint64_t>();
        m->grouped = true;
    }
    if (m->next_range >= m->ranges.size()) {
        m->pass = State::Pass::none;
        return false;
    }
    const KeyRange &range = m->range();
    if (range.count <= m->most) {
        m->pass = State::Pass::collect;
        m->entries.reserve(std::size_t(range.count));
    } else if (!range.fine) {
        m->pass = State::Pass::fine_count;
        m->fine.assign(std::size_t(fine_mask) + 1, 0);
    } else {
        m->pass = State::Pass::stream; // one value, more cells than a pass holds
    }
    return true;
}

void CellSorter::add(std::uint32_t map_number, const FeatureMap &map)
{
    const KeyRange &range = m->range();
    switch (m->pass) {
    case State::Pass::fine_count:
        each_cell(map_number, map, [&](std::uint32_t key, const Entry &) {
            if (key >= range.low && key <= range.high) {
                ++m->fine[key & fine_mask];
            }
        });
        return;
    case State::Pass::collect:
        each_cell(map_number, map, [&](std::uint32_t key, const Entry &entry) {
            if (key >= range.low && key <= range.high) {
                m->entries.push_back(entry);
            }
        });
        return;
    case State::Pass::stream:
        each_cell(map_number, map, [&](std::uint32_t key, const Entry &entry) {
            if (key == range.low) {
                m->push(entry);
            }
        });
        return;
    case State::Pass::none:
        return;
    }
}

void CellSorter::add(std::uint32_t first_number, const std::vector<FeatureMap> &maps, int threads)
{
    const int parts = std::max(1, std::min(threads, int(maps.size())));
    if (m->pass == State::Pass::stream || m->pass == State::Pass::none || parts == 1) {
        for (std::size_t k = 0; k < maps.size(); ++k) {
            add(first_number + std::uint32_t(k), maps[k]);
        }
        return;
    }
    // Each thread a stretch of the maps; collected cells appended in order, counts added.
    const KeyRange range = m->range();
    const bool counting = m->pass == State::Pass::fine_count;
    std::vector<std::vector<Entry>> &collected = m->parts;
    collected.resize(std::max(collected.size(), std::size_t(parts)));
    std::vector<std::vector<std::uint64_t>> counted(static_cast<std::size_t>(parts));
    std::atomic<int> next{0};
    run_on_threads(parts, [&] {
        for (int part = next++; part < parts; part = next++) {
            std::vector<Entry> &entries = collected[std::size_t(part)];
            entries.clear();
            std::vector<std::uint64_t> &fine = counted[std::size_t(part)];
            if (counting) {
                fine.assign(std::size_t(fine_mask) + 1, 0);
            }
            const std::size_t begin = maps.size() * std::size_t(part) / std::size_t(parts);
            const std::size_t end = maps.size() * std::size_t(part + 1) / std::size_t(parts);
            for (std::size_t k = begin; k < end; ++k) {
                each_cell(first_number + std::uint32_t(k), maps[k],
                          [&](std::uint32_t key, const Entry &entry) {
                              if (key >= range.low && key <= range.high) {
                                  if (counting) {
                                      ++fine[key & fine_mask];
                                  } else {
                                      entries.push_back(entry);
                                  }
                              }
                          });
            }
        }
    });
    for (std::size_t part = 0; part < std::size_t(parts); ++part) {
        m->entries.insert(m->entries.end(), collected[part].begin(), collected[part].end());
        for (std::size_t k = 0; counting && k < counted[part].size(); ++k) {
            m->fine[k] += counted[part][k];
        }
    }
}

void CellSorter::finish_pass()
{
    switch (m->pass) {
    case State::Pass::fine_count: {
        std::vector<KeyRange> finer;
        group(m->fine, m->range().low, 0, m->most, finer);
        m->fine = std::vector<std::uint64_t>();
        m->ranges.erase(m->ranges.begin() + std::ptrdiff_t(m->next_range));
        m->ranges.insert(m->ranges.begin() + std::ptrdiff_t(m->next_range), finer.begin(),
                         finer.end());
        break;
    }
    case State::Pass::collect: {
        // Both kept from pass to pass: their pages are touched once.
        m->sorting.resize(std::max(m->sorting.size(), m->entries.size()));
        radix_sort<11>(m->entries.data(), m->sorting.data(), m->entries.size(),
                       [](const Entry &entry) { return order_key(entry.value); });
        for (const Entry &entry : m->entries) {
            m->push(entry);
        }
        m->entries.clear();
        ++m->next_range;
        break;
    }
    case State::Pass::stream:
        ++m->next_range;
        break;
    case State::Pass::none:
        break;
    }
    m->pass = State::Pass::none;
}

void CellSorter::finish()
{
    m->hand_on_block();
    m->entries = std::vector<Entry>();
    m->sorting = std::vector<Entry>();
    m->parts.clear();
}

const std::vector<float> &CellSorter::block_low() const
{
    return m->lows;
}

const std::vector<float> &CellSorter::block_high() const
{
    return m->highs;
}

const std::vector<float> &CellSorter::next_samples() const
{
    return m->samples;
}
