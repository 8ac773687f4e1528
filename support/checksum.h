#pragma once
// A fast 64-bit checksum of bytes (rounds of xxHash64's kind over four lanes): it tells a file
// from the file it was, not from a forger.

#include <QString>

#include <cstdint>

class Checksum
{
public:
    void add(const char *data, std::size_t size);
    std::uint64_t value() const;

private:
    void block(const unsigned char *bytes);

    std::uint64_t m_lanes[4] = {0x60ea27eeadc0b5d6ULL, 0xc2b2ae3d27d4eb4fULL, 0,
                                0x61c8864e7a143579ULL};
    unsigned char m_pending[32] = {};
    std::size_t m_pending_size = 0;
    std::uint64_t m_total = 0;
};

struct FileChecksum {
    bool ok = false;
    std::uint64_t value = 0;
    qint64 bytes = 0;
    QString error; // why the file could not be read
};

// The checksum and size of a file, read in pieces.
FileChecksum file_checksum(const QString &path);
