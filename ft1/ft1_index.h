#pragma once
// The binary index beside a database: PATH.ft1.idx holds what reading PATH.ft1 gives (records,
// maps, the count of images, the malformed lines) laid out to be memory-mapped, and the sorted
// cells of the aligned search. Its header carries a magic, a version, the settings that fit
// the records, and the size, time, inode and checksum of the .ft1 it was made from: an index
// whose .ft1 has changed (its checksum is read whenever its size, time or inode differ), or
// that is cut short or damaged, is not used, and the reader says why. The .ft1 stays the
// interchange format; results are the same either way. Choosing between the index and the
// text is database_file.h's; this is the index alone.

#include "ft1/ft1_contents.h"

#include <QString>

// PATH + ".idx".
inline QString ft1_index_path(const QString &ft1_path)
{
    return ft1_path + ".idx";
}

struct IndexWrite {
    bool written = false;
    QString error; // why the .ft1 did not open or the index could not be written
};

struct IndexWriteOptions {
    // About the most memory the sorting of cells and the candidate index take at a time: a
    // larger database takes more passes over its values, read back from the index.
    std::size_t memory_bytes = std::size_t(1) << 30;
    int threads = 0; // 0: one per core
};

// Reads the .ft1's text once (never an older index) and writes the index beside it, aside and
// then in place.
IndexWrite write_ft1_index(const QString &ft1_path, const IndexWriteOptions &options = {});

enum class IndexState {
    absent,     // no index beside the file
    used,       // read from the index
    stale,      // made from another version of the file
    damaged,    // cut short, corrupt or of another version of the format
    unreadable, // there but not readable
};

struct IndexRead {
    IndexState state = IndexState::absent;
    QString error;        // why the index is not used, when it is there
    Ft1Contents contents; // when it is used
};

// The contents of `ft1_path` from its index, when the index is there and valid.
// Its tables are checked in full; its maps and sorted cells (most of the file, which a memory
// mapping need not read) by their bounds, and by their checksum when `check_data` is set.
IndexRead read_ft1_index(const QString &ft1_path, bool check_data = false);
