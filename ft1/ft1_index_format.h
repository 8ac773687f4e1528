#pragma once
// The bytes of PATH.ft1.idx, shared by its writer and its reader (ft1_index.h is the index's
// interface): a header, then the sections, each on a 64-byte boundary, in the order of
// IndexLayout. Little-endian, as every platform this runs on.
//
// The values come first, since the writer streams them while it reads the text; the tables,
// whose sizes are known only once the text is read, come last. Every byte is covered by a
// checksum: the header by its own, the tables by one read on every load, the values by one per
// block of 4 KiB (read when a search first uses a map of it), the sorted cells and the
// candidate index by one that `info` reads.

#include <QByteArray>
#include <QString>

#include <cstdint>

constexpr char index_magic[8] = {'P', 'T', 'R', 'C', 'I', 'D', 'X', '\n'};
constexpr std::uint32_t index_format_version = 5;
// The values are checked in blocks of this many.
constexpr std::uint64_t index_value_block = std::uint64_t(1) << 10;

struct IndexHeader {
    char magic[8];
    std::uint32_t version;
    std::uint32_t header_bytes;
    std::uint64_t header_checksum; // of the header with this field 0
    std::uint64_t file_bytes;      // the whole index
    std::uint64_t tables_checksum; // every byte from the records to the end
    std::uint64_t data_checksum;   // every byte of the sorted cells and the candidate index
    // The .ft1 it was made from: while its size, times and inode are these, its checksum is not
    // read again.
    std::uint64_t ft1_bytes;
    std::uint64_t ft1_checksum;
    std::uint64_t ft1_modified_ns;
    std::uint64_t ft1_changed_ns;
    std::uint64_t ft1_inode;
    std::uint64_t header_lines;
    std::uint64_t problem_count;
    // The counts that place every section (index_layout).
    std::uint64_t record_count;
    std::uint64_t map_count;
    std::uint64_t problems_listed;
    std::uint64_t fitting_count;
    std::uint64_t strings_bytes;
    std::uint64_t size_count; // distinct map sizes
    std::uint64_t values_count;
    std::uint64_t cells_count;
    std::uint64_t candidate_count;
    std::uint64_t candidate_bits;
};

struct IndexRecord {
    std::uint64_t name_offset;
    std::uint32_t name_bytes;
    std::int32_t image_width;
    std::int32_t image_height;
    std::int32_t map_width;
    std::int32_t map_height;
    std::uint32_t complete;
    std::int64_t values_index; // first cell in the values section, -1 without a map
};

struct IndexProblem {
    std::int64_t line; // -1 for a message without a line number
    std::uint64_t text_offset;
    std::uint64_t text_bytes;
};

struct IndexFitting {
    std::int32_t radius;
    std::int32_t step_divisor;
};

// How many maps have one size: what a search asks of every map's size, without visiting them.
struct IndexMapSize {
    std::int32_t width;
    std::int32_t height;
    std::uint64_t count;
};

struct IndexCounts {
    std::uint64_t records = 0;
    std::uint64_t maps = 0;
    std::uint64_t problems = 0;
    std::uint64_t fitting = 0;
    std::uint64_t strings = 0;
    std::uint64_t sizes = 0;
    std::uint64_t values = 0;
    std::uint64_t cells = 0;
    std::uint64_t candidates = 0;
    std::uint64_t candidate_bits = 0;
};

IndexCounts counts_of(const IndexHeader &header);

// Where each section starts, all from the counts: the writer places the sections here, and the
// reader checks each against the file.
struct IndexLayout {
    std::uint64_t values = 0;
    std::uint64_t cells = 0;  // the sorted cells: values, places, values right, block lows,
    std::uint64_t places = 0; // block highs, samples of the values right
    std::uint64_t next = 0;
    std::uint64_t lows = 0;
    std::uint64_t highs = 0;
    std::uint64_t samples = 0;
    std::uint64_t candidates = 0; // the candidate index: entries, then bucket starts
    std::uint64_t starts = 0;
    std::uint64_t records = 0; // the tables, from here to the end
    std::uint64_t problems = 0;
    std::uint64_t fitting = 0;
    std::uint64_t strings = 0;
    std::uint64_t value_sums = 0;  // the checksum of each block of values
    std::uint64_t rarity = 0;      // the candidate keys' code frequencies
    std::uint64_t name_groups = 0; // per map, the first map of its name
    std::uint64_t sizes = 0;
    std::uint64_t block_count = 0;  // of the sorted cells' lows and highs
    std::uint64_t sample_count = 0; // of their samples
    std::uint64_t value_blocks = 0;
    std::uint64_t bucket_count = 0; // of the candidate index
    std::uint64_t file_bytes = 0;
};

// Counts too large for any file wrap around; the reader checks each section against the file.
IndexLayout index_layout(const IndexCounts &counts);
constexpr std::uint64_t rarity_floats = 9 * 16;

// The header's checksum, of every byte but its own field.
std::uint64_t header_checksum(IndexHeader header);

// A listed problem is stored without its "PATH:" prefix and its line number, so that the index
// gives the messages under whatever path the .ft1 is read.
IndexProblem stored_problem(const QString &line, const QString &path, QByteArray &strings);
QString problem_line(const QString &path, const IndexProblem &problem, const QString &text);
