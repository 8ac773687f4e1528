#include "maps/candidate_blocks.h"

#include <algorithm>
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

void CandidateIndexPlan::count(const FeatureMap &map)
{
    if (m_total + candidate_blocks_of(map.width, map.height) >=
        std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("more than 2^32 blocks of cells to index");
    }
    for_each_block_key(map, [&](std::uint64_t key, std::uint32_t, const BlockCodes &codes) {
        ++m_counts[candidate_bucket(key, m_bits)];
        ++m_total;
        for (std::size_t c = 0; c < codes.size(); ++c) {
            ++m_codes[c][std::size_t(codes[c] + key_code_count / 2)];
        }
    });
}

std::vector<std::uint32_t> CandidateIndexPlan::starts() const
{
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
    const auto past = std::upper_bound(starts.begin() + first + 1, starts.end(), limit,
                                       [](std::uint64_t value, std::uint32_t start) {
                                           return value < std::uint64_t(start);
                                       });
    const std::uint32_t end = std::uint32_t(past - starts.begin()) - 1;
    return std::min(buckets, std::max(first + 1, end));
}

CandidateIndexPlan::Range::Range(const std::vector<std::uint32_t> &starts, int bits,
                                 std::uint32_t first, std::uint32_t end)
    : m_bits(bits)
    , m_first(first)
    , m_end(end)
    , m_base(starts[first])
    , m_next(starts.begin() + first, starts.begin() + end)
    , m_entries(std::size_t(starts[end] - starts[first]))
{}

void CandidateIndexPlan::Range::add(std::uint32_t map_number, const FeatureMap &map)
{
    for_each_block_key(map, [&](std::uint64_t key, std::uint32_t place, const BlockCodes &) {
        const std::uint32_t bucket = candidate_bucket(key, m_bits);
        if (bucket >= m_first && bucket < m_end) {
            std::uint32_t &next = m_next[bucket - m_first];
            m_entries[next++ - m_base] = {
                map_number, place | candidate_check(key, m_bits) << (32 - candidate_check_bits)};
        }
    });
}

CandidateArrays candidate_arrays(const QList<FeatureMap> &maps)
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
        all.add(std::uint32_t(m), maps[m]);
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
