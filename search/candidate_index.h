#pragma once
// The indexed search's candidate index over the arrays of maps/candidate_blocks.h: the
// entries of a key, each naming a map and the block of it that has the key. A pattern block of
// the same key then names a window of the database, the candidate, that holds the pattern at
// one place. Entries of a bucket that holds other keys are told apart by their check bits;
// a damaged directory or entry may mislead a search, never make it read outside the arrays.

#include "maps/candidate_blocks.h"

#include <algorithm>
#include <cstdint>

class CandidateIndex
{
public:
    CandidateIndex() = default;
    explicit CandidateIndex(CandidateArrays arrays)
        : m_arrays(std::move(arrays))
    {}
    // Made in memory from the maps.
    static CandidateIndex build(const QList<FeatureMap> &maps)
    {
        return CandidateIndex(candidate_arrays(maps));
    }

    bool empty() const { return m_arrays.size == 0; }
    std::uint64_t size() const { return m_arrays.size; }
    const CandidateArrays &arrays() const { return m_arrays; }
    const KeyRarity &rarity() const { return m_arrays.rarity; }

    // The entries of the key's bucket, of this key and of others.
    std::uint64_t bucket_size(std::uint64_t key) const
    {
        std::uint64_t begin = 0;
        std::uint64_t end = 0;
        bucket_range(key, begin, end);
        return end - begin;
    }

    // Calls visit(map, cell) for every entry of the key whose map lies in [first_map,
    // end_map). Returns the entries read.
    template <class Visit>
    std::uint64_t for_each_entry(std::uint64_t key, int first_map, int end_map, Visit visit) const
    {
        std::uint64_t begin = 0;
        std::uint64_t end = 0;
        bucket_range(key, begin, end);
        const std::uint32_t check = candidate_check(key, m_arrays.bits)
                                    << (32 - candidate_check_bits);
        constexpr std::uint32_t cell_mask = candidate_cell_limit - 1;
        const CandidateEntry *entries = m_arrays.source
                                            ? m_arrays.source->entries(begin, end - begin) - begin
                                            : m_arrays.entries;
        for (std::uint64_t k = begin; k < end; ++k) {
            const CandidateEntry entry = entries[k];
            if ((entry.place & ~cell_mask) == check && entry.map >= std::uint32_t(first_map) &&
                entry.map < std::uint32_t(end_map)) {
                visit(int(entry.map), int(entry.place & cell_mask));
            }
        }
        return end - begin;
    }

private:
    void bucket_range(std::uint64_t key, std::uint64_t &begin, std::uint64_t &end) const
    {
        if (empty()) {
            return;
        }
        const std::uint32_t bucket = candidate_bucket(key, m_arrays.bits);
        std::uint64_t first = 0;
        std::uint64_t last = 0;
        if (m_arrays.source) {
            if (!m_arrays.source->bucket(bucket, first, last)) {
                return;
            }
        } else {
            first = m_arrays.starts[bucket];
            last = m_arrays.starts[bucket + 1];
        }
        end = std::min<std::uint64_t>(last, m_arrays.size);
        begin = std::min<std::uint64_t>(first, end);
    }

    CandidateArrays m_arrays;
};
