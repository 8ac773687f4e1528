#pragma once
// What tells a file unchanged without reading it: its size, its times of last write and of last
// change (which a write, a rename over it, or a restored modification time all move) and its
// inode.

#include <QString>

#include <cstdint>

struct FileStamp {
    std::uint64_t bytes = 0;
    std::uint64_t modified_ns = 0;
    std::uint64_t changed_ns = 0;
    std::uint64_t inode = 0;

    bool operator==(const FileStamp &other) const
    {
        return bytes == other.bytes && modified_ns == other.modified_ns &&
               changed_ns == other.changed_ns && inode == other.inode;
    }
    bool operator!=(const FileStamp &other) const { return !(*this == other); }
};

// All zero when the file cannot be looked at.
FileStamp stamp_of(const QString &path);
FileStamp stamp_of_descriptor(int descriptor);
