#include "maps/candidate_blocks.h"

#include "support/threads.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <stdexcept>

int candidate_bucket_bits(std::uint64_t entries)
{
    int bits = 10;
    while (bits < candidate_most_bits && (std::uint64_t(1) << bits) < entries / 8) {
        ++bits;
    }
    return bits;
}

std::uint64_t candidate_blocks_of(int width, int height)
{
    if (width < key_block_side || height < key_block_side) {
        return 0;
    }
    const std::uint64_t blocks =
        std::uint64_t(width - key_block_side + 1) * std::uint64_t(height - key_block_side + 1);
    return std::min<std::uint64_t>(blocks, candidate_cell_limit);
}

std::uint64_t candidate_blocks_of(const QList<FeatureMap> &maps)
{
    std::uint64_t blocks = 0;
    for (const FeatureMap &map : maps) {
        blocks += map.has_values() ? candidate_blocks_of(map.width, map.height) : 0;
    }
    return blocks;
}

CandidateIndexPlan::CandidateIndexPlan(std::uint64_t entries)
    : m_bits(candidate_bucket_bits(entries))
    , m_counts(std::size_t(1) << m_bits, 0)
{}

void CandidateIndexPlan::count(const FeatureMap &map, std::uint32_t map_number,
                               CandidateSpill *spill)
{
    if (m_pending.size() >= (std::size_t(1) << 22)) {
        count_pending();
    }
    if (m_total + candidate_blocks_of(map.width, map.height) >=
        std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("more than 2^32 blocks of cells to index");
    }
    for_each_block_key(map, [&](std::uint64_t key, std::uint32_t place, const BlockCodes &codes) {
        const std::uint32_t bucket = candidate_bucket(key, m_bits);
        m_pending.push_back(bucket);
        if (spill) {
            spill->add({bucket,
                        {map_number, place | candidate_check(key, m_bits)
                                                 << (32 - candidate_check_bits)}});
        }
        ++m_total;
        for (std::size_t c = 0; c < codes.size(); ++c) {
            ++m_codes[c][std::size_t(codes[c] + key_code_count / 2)];
        }
    });
}

void CandidateIndexPlan::count_pending()
{
    constexpr int digit_bits = 13;
    constexpr std::uint32_t mask = (1u << digit_bits) - 1;
    std::vector<std::uint32_t> spare(m_pending.size());
    std::uint32_t *from = m_pending.data();
    std::uint32_t *to = spare.data();
    for (int shift = 0; shift < m_bits; shift += digit_bits) {
        std::vector<std::size_t> start((1u << digit_bits) + 1, 0);
        for (std::size_t k = 0; k < m_pending.size(); ++k) {
            ++start[((from[k] >> shift) & mask) + 1];
        }
        for (std::size_t d = 1; d < start.size(); ++d) {
            start[d] += start[d - 1];
        }
        for (std::size_t k = 0; k < m_pending.size(); ++k) {
            to[start[(from[k] >> shift) & mask]++] = from[k];
        }
        std::swap(from, to);
    }
    for (std::size_t k = 0; k < m_pending.size(); ++k) {
        ++m_counts[from[k]];
    }
    m_pending.clear();
}

std::vector<std::uint32_t> CandidateIndexPlan::starts()
{
    count_pending();
    std::vector<std::uint32_t> starts(m_counts.size() + 1, 0);
    for (std::size_t b = 0; b < m_counts.size(); ++b) {
        starts[b + 1] = starts[b] + m_counts[b];
    }
    return starts;
}

std::uint32_t CandidateIndexPlan::range_end(const std::vector<std::uint32_t> &starts,
                                            std::uint32_t first, std::uint64_t most)
{
    const std::uint32_t buckets = std::uint32_t(starts.size() - 1);
    // The last bucket whose end lies within `most` entries of the range's start.
    const std::uint64_t limit = std::uint64_t(starts[first]) + most;
    const auto past = std::upper_bound(
        starts.begin() + first + 1, starts.end(), limit,
        [](std::uint64_t value, std::uint32_t start) { return value < std::uint64_t(start); });
    const std::uint32_t end = std::uint32_t(past - starts.begin()) - 1;
    return std::min(buckets, std::max(first + 1, end));
}

CandidateIndexPlan::Range::Range(const std::vector<std::uint32_t> &starts, int bits,
                                 std::uint32_t first, std::uint32_t end)
    : m_bits(bits)
    , m_first(first)
    , m_end(end)
{
    m_gathered.reserve(std::size_t(starts[end] - starts[first]));
}

void CandidateIndexPlan::Range::gather(std::uint32_t map_number, const FeatureMap &map,
                                       std::vector<Gathered> &gathered) const
{
    for_each_block_key(map, [&](std::uint64_t key, std::uint32_t place, const BlockCodes &) {
        const std::uint32_t bucket = candidate_bucket(key, m_bits);
        if (bucket >= m_first && bucket < m_end) {
            gathered.push_back({bucket,
                                {map_number, place | candidate_check(key, m_bits)
                                                         << (32 - candidate_check_bits)}});
        }
    });
}

void CandidateIndexPlan::Range::add(std::uint32_t map_number, const FeatureMap &map)
{
    gather(map_number, map, m_gathered);
}

void CandidateIndexPlan::Range::add(std::uint32_t first_number, const std::vector<FeatureMap> &maps,
                                    int threads)
{
    // Each thread a stretch of the maps, appended in order: the order of one thread.
    const int parts = std::max(1, std::min(threads, int(maps.size())));
    m_parts.resize(std::max(m_parts.size(), std::size_t(parts)));
    std::atomic<int> next{0};
    run_on_threads(parts, [&] {
        for (int part = next++; part < parts; part = next++) {
            std::vector<Gathered> &gathered = m_parts[std::size_t(part)];
            gathered.clear();
            const std::size_t begin = maps.size() * std::size_t(part) / std::size_t(parts);
            const std::size_t end = maps.size() * std::size_t(part + 1) / std::size_t(parts);
            for (std::size_t k = begin; k < end; ++k) {
                gather(first_number + std::uint32_t(k), maps[k], gathered);
            }
        }
    });
    for (int part = 0; part < parts; ++part) {
        const std::vector<Gathered> &gathered = m_parts[std::size_t(part)];
        m_gathered.insert(m_gathered.end(), gathered.begin(), gathered.end());
    }
}

std::vector<CandidateEntry> CandidateIndexPlan::Range::take()
{
    std::vector<CandidateEntry> entries = sorted(m_gathered, m_first, m_end);
    m_gathered = std::vector<Gathered>();
    m_parts.clear();
    return entries;
}

std::vector<CandidateEntry> CandidateIndexPlan::sorted(std::vector<CandidateGathered> &gathered,
                                                       std::uint32_t first, std::uint32_t end)
{
    // Stable, 11 bits of the bucket at a time from the lowest; digits every bucket of the range
    // shares are passed over.
    constexpr int digit_bits = 11;
    constexpr std::uint32_t mask = (1u << digit_bits) - 1;
    std::vector<CandidateGathered> spare(gathered.size());
    CandidateGathered *from = gathered.data();
    CandidateGathered *to = spare.data();
    const std::uint32_t span = std::max(end - first, 1u);
    for (int shift = 0; shift < 32 && (span - 1) >> shift != 0; shift += digit_bits) {
        std::vector<std::size_t> start((1u << digit_bits) + 1, 0);
        for (std::size_t k = 0; k < gathered.size(); ++k) {
            ++start[(((from[k].bucket - first) >> shift) & mask) + 1];
        }
        for (std::size_t d = 1; d < start.size(); ++d) {
            start[d] += start[d - 1];
        }
        for (std::size_t k = 0; k < gathered.size(); ++k) {
            to[start[((from[k].bucket - first) >> shift) & mask]++] = from[k];
        }
        std::swap(from, to);
    }
    std::vector<CandidateEntry> entries(gathered.size());
    for (std::size_t k = 0; k < entries.size(); ++k) {
        entries[k] = from[k].entry;
    }
    return entries;
}

CandidateArrays candidate_arrays(const QList<FeatureMap> &maps, int first_map)
{
    CandidateIndexPlan plan(candidate_blocks_of(maps));
    for (const FeatureMap &map : maps) {
        plan.count(map);
    }
    struct Owned {
        std::vector<std::uint32_t> starts;
        std::vector<CandidateEntry> entries;
    };
    auto owned = std::make_shared<Owned>();
    owned->starts = plan.starts();
    CandidateIndexPlan::Range all(owned->starts, plan.bits(), 0,
                                  std::uint32_t(owned->starts.size() - 1));
    for (int m = 0; m < maps.size(); ++m) {
        all.add(std::uint32_t(first_map + m), maps[m]);
    }
    owned->entries = all.take();
    CandidateArrays arrays;
    arrays.bits = plan.bits();
    arrays.starts = owned->starts.data();
    arrays.entries = owned->entries.data();
    arrays.size = owned->entries.size();
    arrays.rarity = plan.rarity();
    arrays.storage = std::move(owned);
    return arrays;
}
