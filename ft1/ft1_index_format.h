#pragma once
// The bytes of PATH.ft1.idx, shared by its writer and its reader (ft1_index.h is the index's
// interface): a header, then the sections, each on a 64-byte boundary, in the order of
// IndexLayout. Little-endian, as every platform this runs on.

#include <QByteArray>
#include <QString>

#include <cstdint>

constexpr char index_magic[8] = {'P', 'T', 'R', 'C', 'I', 'D', 'X', '\n'};
constexpr std::uint32_t index_format_version = 4;

struct IndexHeader {
    char magic[8];
    std::uint32_t version;
    std::uint32_t header_bytes;
    std::uint64_t file_bytes;      // the whole index
    std::uint64_t tables_checksum; // the bytes from the header's end to the values
    std::uint64_t data_checksum;   // the values and the sorted cells
    std::uint64_t ft1_bytes;
    std::uint64_t ft1_checksum;
    std::uint64_t ft1_modified_ns; // when the .ft1 was last written, and its inode: while both
    std::uint64_t ft1_inode;       // and its size are the same, its checksum is not read again
    std::uint64_t header_lines;
    std::uint64_t problem_count;
    std::uint64_t records_offset;
    std::uint64_t record_count;
    std::uint64_t problems_offset;
    std::uint64_t problems_listed;
    std::uint64_t fitting_offset;
    std::uint64_t fitting_count;
    std::uint64_t strings_offset;
    std::uint64_t strings_bytes;
    std::uint64_t values_offset;
    std::uint64_t values_count;
    std::uint64_t cells_offset; // values (float), then places (u64), the values right of
                                // them (float), each block's least values, its greatest
                                // (float), and the samples of the values right, each at the
                                // next boundary
    std::uint64_t cells_count;
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

// Where each section starts, all from the counts: the writer places the sections here, and the
// reader takes an index whose header says otherwise as damaged.
struct IndexLayout {
    std::uint64_t records = 0;
    std::uint64_t problems = 0;
    std::uint64_t fitting = 0;
    std::uint64_t strings = 0;
    std::uint64_t values = 0;
    std::uint64_t cells = 0;
    std::uint64_t places = 0;
    std::uint64_t next = 0;
    std::uint64_t lows = 0;
    std::uint64_t highs = 0;
    std::uint64_t samples = 0;
    std::uint64_t block_count = 0;  // of the lows and highs
    std::uint64_t sample_count = 0; // of the samples
    std::uint64_t file_bytes = 0;
};

// Counts too large for any file wrap around; the reader checks each section against the file.
IndexLayout index_layout(std::uint64_t record_count, std::uint64_t problems_listed,
                         std::uint64_t fitting_count, std::uint64_t strings_bytes,
                         std::uint64_t values_count, std::uint64_t cells_count);

// A listed problem is stored without its "PATH:" prefix and its line number, so that the index
// gives the messages under whatever path the .ft1 is read.
IndexProblem stored_problem(const QString &line, const QString &path, QByteArray &strings);
QString problem_line(const QString &path, const IndexProblem &problem, const QString &text);

// What tells the .ft1 unchanged without reading it: its size, modification time and inode.
struct FileStamp {
    std::uint64_t modified_ns = 0;
    std::uint64_t inode = 0;
    std::uint64_t bytes = 0;
};

FileStamp stamp_of(const QString &path);
