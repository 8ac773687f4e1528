#include "support/checksum.h"

#include <QFile>

#include <cstring>
#include <vector>

namespace {

constexpr std::uint64_t prime1 = 0x9e3779b185ebca87ULL;
constexpr std::uint64_t prime2 = 0xc2b2ae3d27d4eb4fULL;

std::uint64_t rotate(std::uint64_t x, int bits)
{
    return (x << bits) | (x >> (64 - bits));
}

std::uint64_t round(std::uint64_t lane, std::uint64_t word)
{
    return rotate(lane + word * prime2, 31) * prime1;
}

std::uint64_t word_at(const unsigned char *bytes)
{
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

} // namespace

void Checksum::block(const unsigned char *bytes)
{
    for (int lane = 0; lane < 4; ++lane) {
        m_lanes[lane] = round(m_lanes[lane], word_at(bytes + 8 * lane));
    }
}

void Checksum::add(const char *data, std::size_t size)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(data);
    m_total += size;
    if (m_pending_size > 0) {
        const std::size_t taken = std::min(size, 32 - m_pending_size);
        std::memcpy(m_pending + m_pending_size, bytes, taken);
        m_pending_size += taken;
        bytes += taken;
        size -= taken;
        if (m_pending_size < 32) {
            return;
        }
        block(m_pending);
        m_pending_size = 0;
    }
    for (; size >= 32; bytes += 32, size -= 32) {
        block(bytes);
    }
    std::memcpy(m_pending, bytes, size);
    m_pending_size = size;
}

std::uint64_t Checksum::value() const
{
    std::uint64_t h = rotate(m_lanes[0], 1) + rotate(m_lanes[1], 7) + rotate(m_lanes[2], 12) +
                      rotate(m_lanes[3], 18);
    for (std::uint64_t lane : m_lanes) {
        h = (h ^ round(0, lane)) * prime1 + 0x85ebca77c2b2ae63ULL;
    }
    h += m_total;
    for (std::size_t k = 0; k < m_pending_size; ++k) {
        h = rotate(h ^ (m_pending[k] * 0x27d4eb2f165667c5ULL), 11) * prime1;
    }
    h ^= h >> 33;
    h *= prime2;
    h ^= h >> 29;
    h *= 0x165667b19e3779f9ULL;
    h ^= h >> 32;
    return h;
}

FileChecksum file_checksum(const QString &path)
{
    FileChecksum result;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = file.errorString();
        return result;
    }
    Checksum checksum;
    std::vector<char> buffer(std::size_t(8) << 20);
    for (;;) {
        const qint64 got = file.read(buffer.data(), qint64(buffer.size()));
        if (got < 0) {
            result.error = file.errorString();
            return result;
        }
        if (got == 0) {
            break;
        }
        checksum.add(buffer.data(), std::size_t(got));
        result.bytes += got;
    }
    result.ok = true;
    result.value = checksum.value();
    return result;
}
