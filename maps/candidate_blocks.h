#pragma once
// The arrays behind the indexed search's candidate index (search/candidate_index.h): every
// 3 x 3 block of cells of every database map, filed under its key (block_keys.h). A key's
// bucket is its high bits; a directory of bucket starts gives each bucket's entries, and a
// few more bits of the key kept in each entry tell the keys of one bucket apart. Entries of a
// bucket are in map order, then in the order of their blocks.
//
// Built in memory from maps, or a range of buckets at a time for databases of any size (the
// binary index), where the arrays then stay in the file's memory mapping.

#include "maps/block_keys.h"
#include "maps/feature_map.h"

#include <QList>

#include <cstdint>
#include <memory>
#include <vector>

struct CandidateEntry {
    std::uint32_t map;   // in the database
    std::uint32_t place; // the block's top-left cell x + y * width (low 20 bits), key check above
};

// Blocks whose top-left cell lies beyond this in its map are not indexed (maps of more than a
// million cells, images of some 20000 pixels a side at radius 20).
constexpr std::uint32_t candidate_cell_limit = 1u << 20;
constexpr int candidate_check_bits = 12;
// The most buckets: a directory of 256 MB.
constexpr int candidate_most_bits = 26;

// The directory and the entries where they are kept otherwise than as arrays of memory (a
// binary index's file, whose pages a search gives back as it goes).
class CandidateSource
{
public:
    virtual ~CandidateSource() = default;
    // Bucket b's entries [begin, end); false when they cannot be read.
    virtual bool bucket(std::uint32_t b, std::uint64_t &begin, std::uint64_t &end) const = 0;
    // Entries [first, first + count), valid until the next call.
    virtual const CandidateEntry *entries(std::uint64_t first, std::uint64_t count) const = 0;
};

struct CandidateArrays {
    std::shared_ptr<const void> storage;   // keeps the arrays alive
    int bits = 0;                          // 2^bits buckets
    const std::uint32_t *starts = nullptr; // 2^bits + 1 entry numbers
    const CandidateEntry *entries = nullptr;
    std::shared_ptr<const CandidateSource> source; // instead of starts and entries, when set
    std::uint64_t size = 0;
    KeyRarity rarity;

    std::uint64_t buckets() const { return bits > 0 ? std::uint64_t(1) << bits : 0; }
};

// The buckets for about `entries` entries: about eight entries a bucket, 2^10 to 2^26 buckets.
int candidate_bucket_bits(std::uint64_t entries);

inline std::uint32_t candidate_bucket(std::uint64_t key, int bits)
{
    return std::uint32_t(key >> (64 - bits));
}
inline std::uint32_t candidate_check(std::uint64_t key, int bits)
{
    return std::uint32_t(key >> (64 - bits - candidate_check_bits)) &
           ((1u << candidate_check_bits) - 1);
}

// Calls visit(key, place, codes) for every 3 x 3 block of the map whose cells are finite
// numbers and whose top-left cell is within the limit, rows top-down.
template <class Visit> void for_each_block_key(const FeatureMap &map, Visit visit)
{
    if (!map.has_values() || map.width < key_block_side || map.height < key_block_side) {
        return;
    }
    // The sums of |v| of every row of three cells, a window of three rows at a time.
    const int across = map.width - key_block_side + 1;
    std::vector<double> rows(std::size_t(across) * key_block_side);
    auto fill_row = [&](int y) {
        double *row = rows.data() + std::size_t(y % key_block_side) * std::size_t(across);
        const float *cells = map.data() + qint64(y) * map.width;
        for (int x = 0; x < across; ++x) {
            row[x] = row_of_three(cells + x);
        }
    };
    fill_row(0);
    fill_row(1);
    BlockCodes codes;
    for (int y = 0; y + key_block_side <= map.height; ++y) {
        fill_row(y + 2);
        const double *r0 = rows.data() + std::size_t(y % key_block_side) * std::size_t(across);
        const double *r1 =
            rows.data() + std::size_t((y + 1) % key_block_side) * std::size_t(across);
        const double *r2 =
            rows.data() + std::size_t((y + 2) % key_block_side) * std::size_t(across);
        for (int x = 0; x < across; ++x) {
            const qint64 place = x + qint64(y) * map.width;
            if (place >= qint64(candidate_cell_limit)) {
                return;
            }
            if (block_codes_of_sum(map.data() + place, map.width, block_sum(r0[x], r1[x], r2[x]),
                                   codes)) {
                visit(key_of_codes(codes), std::uint32_t(place), codes);
            }
        }
    }
}

// The most entries the maps' blocks can give.
std::uint64_t candidate_blocks_of(const QList<FeatureMap> &maps);
std::uint64_t candidate_blocks_of(int width, int height);

// An entry with its bucket, gathered before it is sorted into place.
struct CandidateGathered {
    std::uint32_t bucket;
    CandidateEntry entry;
};

// Where the entries of a count go besides (files of a range of buckets each, say).
class CandidateSpill
{
public:
    virtual ~CandidateSpill() = default;
    virtual void add(const CandidateGathered &gathered) = 0;
};

// Builds the arrays a range of buckets at a time, so that databases of any size are indexed in
// bounded memory: one pass over the maps counts the entries of every bucket (and may hand each
// on, to be sorted later a range at a time), or one more pass per range of buckets lists that
// range's entries in order.
class CandidateIndexPlan
{
public:
    // For about `entries` entries; more only fill the buckets further.
    explicit CandidateIndexPlan(std::uint64_t entries);

    // Counts the map's entries; maps in database order, numbered from 0 up.
    void count(const FeatureMap &map, std::uint32_t map_number = 0,
               CandidateSpill *spill = nullptr);

    // Entries of the buckets [first, end), gathered in map order, sorted into place (in order,
    // so that a bucket keeps its entries in map order), which reads and writes memory in order.
    static std::vector<CandidateEntry> sorted(std::vector<CandidateGathered> &gathered,
                                              std::uint32_t first, std::uint32_t end);

    int bits() const { return m_bits; }
    // Bucket b's entries are [starts[b], starts[b + 1]), once every map was counted.
    std::vector<std::uint32_t> starts();
    std::uint64_t size() const { return m_total; }
    KeyRarity rarity() const { return KeyRarity::from_counts(m_codes); }

    // The entries of the buckets [first, end), from a pass over the maps in database order:
    // gathered as they come, then sorted by bucket (in order, so that a bucket keeps its
    // entries in map order), which reads and writes memory in order.
    class Range
    {
    public:
        Range(const std::vector<std::uint32_t> &starts, int bits, std::uint32_t first,
              std::uint32_t end);
        void add(std::uint32_t map_number, const FeatureMap &map);
        // The same for consecutive maps numbered from `first_number`, on `threads` threads.
        void add(std::uint32_t first_number, const std::vector<FeatureMap> &maps, int threads);
        // The range's entries, bucket by bucket.
        std::vector<CandidateEntry> take();

        using Gathered = CandidateGathered;

    private:
        void gather(std::uint32_t map_number, const FeatureMap &map,
                    std::vector<Gathered> &gathered) const;

        int m_bits;
        std::uint32_t m_first;
        std::uint32_t m_end;
        std::vector<Gathered> m_gathered;
        std::vector<std::vector<Gathered>> m_parts; // each thread's, kept from batch to batch
    };
    // The end of the range of buckets from `first` whose entries number at most `most` (at
    // least one bucket).
    static std::uint32_t range_end(const std::vector<std::uint32_t> &starts, std::uint32_t first,
                                   std::uint64_t most);

private:
    // Adds the pending buckets to the counts, in order: the counts of a large database are
    // far more than a cache holds, and counting in order reads them in order.
    void count_pending();

    int m_bits = 0;
    std::vector<std::uint32_t> m_counts; // per bucket
    std::vector<std::uint32_t> m_pending;
    std::uint64_t m_total = 0;
    std::array<std::array<std::uint64_t, key_code_count>, key_block_cells> m_codes{};
};

// The arrays of the maps, made in memory, the maps numbered from `first_map`.
CandidateArrays candidate_arrays(const QList<FeatureMap> &maps, int first_map = 0);
