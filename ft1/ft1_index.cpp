#include "ft1/ft1_index.h"

#include "ft1/settings_fit.h"
#include "support/atomic_file.h"
#include "support/checksum.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

#include <cstring>
#include <limits>
#include <vector>

namespace {

// Little-endian, as every platform this runs on; sections start on 64-byte boundaries.
constexpr char magic[8] = {'P', 'T', 'R', 'C', 'I', 'D', 'X', '\n'};
constexpr std::uint32_t format_version = 4;
constexpr std::uint64_t alignment = 64;

struct Header {
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

struct Record {
    std::uint64_t name_offset;
    std::uint32_t name_bytes;
    std::int32_t image_width;
    std::int32_t image_height;
    std::int32_t map_width;
    std::int32_t map_height;
    std::uint32_t complete;
    std::int64_t values_index; // first cell in the values section, -1 without a map
};

struct Problem {
    std::int64_t line;
    std::uint64_t text_offset;
    std::uint64_t text_bytes;
};

struct Fitting {
    std::int32_t radius;
    std::int32_t step_divisor;
};

std::uint64_t aligned(std::uint64_t offset)
{
    return (offset + alignment - 1) / alignment * alignment;
}

template <typename T> void put(QByteArray &bytes, std::uint64_t at, const T &value)
{
    std::memcpy(bytes.data() + at, &value, sizeof value);
}

// The text of a problem without its "PATH:" prefix, and its line number when it has one.
Problem problem_of(const QString &line, const QString &path, QByteArray &strings)
{
    QString rest = line.startsWith(path + ":") ? line.mid(path.size() + 1) : line;
    Problem problem{-1, std::uint64_t(strings.size()), 0};
    const int colon = rest.indexOf(':');
    bool ok = false;
    const qint64 number = colon > 0 ? rest.left(colon).toLongLong(&ok) : 0;
    if (ok) {
        problem.line = number;
        rest = rest.mid(colon + 1);
    }
    const QByteArray text = rest.toUtf8();
    strings += text;
    problem.text_bytes = std::uint64_t(text.size());
    return problem;
}

// The mapped index, kept while any map or the sorted cells point into it.
struct Mapping {
    QFile file;
    uchar *data = nullptr;
    qint64 size = 0;
    ~Mapping()
    {
        if (data) {
            file.unmap(data);
        }
    }
};

bool within(std::uint64_t offset, std::uint64_t count, std::uint64_t item, std::uint64_t size)
{
    if (offset > size || (item != 0 && count > (size - offset) / item)) {
        return false;
    }
    return true;
}

struct FileStamp {
    std::uint64_t modified_ns = 0;
    std::uint64_t inode = 0;
    std::uint64_t bytes = 0;
};

FileStamp stamp_of(const QString &path)
{
    struct stat status {
    };
    if (::stat(QFile::encodeName(path).constData(), &status) != 0) {
        return {};
    }
    return {std::uint64_t(status.st_mtim.tv_sec) * 1000000000u +
                std::uint64_t(status.st_mtim.tv_nsec),
            std::uint64_t(status.st_ino), std::uint64_t(status.st_size)};
}

} // namespace

QString ft1_index_path(const QString &ft1_path)
{
    return ft1_path + ".idx";
}

bool write_ft1_index(const QString &ft1_path, QString *error)
{
    const FileStamp stamp = stamp_of(ft1_path);
    qint64 ft1_bytes = 0;
    const std::optional<std::uint64_t> ft1_checksum = file_checksum(ft1_path, &ft1_bytes, error);
    if (!ft1_checksum) {
        return false;
    }
    LoadOptions options;
    options.use_index = false;
    const Ft1Contents contents = read_ft1(ft1_path, options);
    if (!contents.opened) {
        *error = contents.error;
        return false;
    }
    const SortedCells cells = sort_cells(contents.maps);
    const QList<WindowSettings> fitting = fitting_settings(contents.records);

    // Strings: names, then the problems' texts.
    QByteArray strings;
    std::vector<Record> records;
    std::uint64_t values_count = 0;
    int next_map = 0;
    for (const Ft1Record &record : contents.records) {
        const QByteArray name = record.name.toUtf8();
        Record r{std::uint64_t(strings.size()),
                 std::uint32_t(name.size()),
                 record.image_width,
                 record.image_height,
                 record.map_width,
                 record.map_height,
                 record.complete ? 1u : 0u,
                 -1};
        strings += name;
        if (record.complete && record.map_width > 0 && record.map_height > 0) {
            r.values_index = std::int64_t(values_count);
            values_count += std::uint64_t(contents.maps[next_map++].cell_count());
        }
        records.push_back(r);
    }
    std::vector<Problem> problems;
    const qint64 listed = std::min<qint64>(contents.problems.size(), max_problems_listed);
    for (qint64 k = 0; k < listed; ++k) {
        problems.push_back(problem_of(contents.problems[int(k)], ft1_path, strings));
    }

    Header header{};
    std::memcpy(header.magic, magic, sizeof magic);
    header.version = format_version;
    header.header_bytes = sizeof(Header);
    header.ft1_bytes = std::uint64_t(ft1_bytes);
    header.ft1_checksum = *ft1_checksum;
    header.ft1_modified_ns = stamp.modified_ns;
    header.ft1_inode = stamp.inode;
    header.header_lines = std::uint64_t(contents.header_lines);
    header.problem_count = std::uint64_t(contents.problem_count);
    header.records_offset = aligned(sizeof(Header));
    header.record_count = records.size();
    header.problems_offset = aligned(header.records_offset + records.size() * sizeof(Record));
    header.problems_listed = problems.size();
    header.fitting_offset = aligned(header.problems_offset + problems.size() * sizeof(Problem));
    header.fitting_count = std::uint64_t(fitting.size());
    header.strings_offset = aligned(header.fitting_offset + fitting.size() * sizeof(Fitting));
    header.strings_bytes = std::uint64_t(strings.size());
    header.values_offset = aligned(header.strings_offset + header.strings_bytes);
    header.values_count = values_count;
    header.cells_offset = aligned(header.values_offset + values_count * sizeof(float));
    header.cells_count = cells.size;
    const std::uint64_t places_offset = aligned(header.cells_offset + cells.size * sizeof(float));
    const std::uint64_t next_offset = aligned(places_offset + cells.size * sizeof(std::uint64_t));
    const std::uint64_t lows_offset = aligned(next_offset + cells.size * sizeof(float));
    const std::uint64_t highs_offset = aligned(lows_offset + cells.blocks() * sizeof(float));
    const std::uint64_t samples_offset = aligned(highs_offset + cells.blocks() * sizeof(float));
    header.file_bytes = samples_offset + cells.samples() * sizeof(float);
    AtomicFile file(ft1_index_path(ft1_path));
    if (!file.open()) {
        *error = file.error();
        return false;
    }
    // The sections are written in order: the tables' checksum covers every byte before the
    // values, the data's every byte from there.
    Checksum tables;
    Checksum data;
    std::uint64_t written = sizeof(Header);
    QByteArray header_bytes(int(sizeof(Header)), '\0');
    bool ok = file.write(header_bytes); // rewritten at the end with the checksum
    auto section = [&](std::uint64_t offset, const void *bytes_at, std::uint64_t bytes) {
        if (!ok) {
            return;
        }
        const QByteArray padding(int(offset - written), '\0');
        (written < header.values_offset ? tables : data)
            .add(padding.constData(), std::size_t(padding.size()));
        ok = file.write(padding);
        Checksum &sum = offset < header.values_offset ? tables : data;
        const char *at = static_cast<const char *>(bytes_at);
        for (std::uint64_t done = 0; ok && done < bytes;) {
            const std::uint64_t piece = std::min<std::uint64_t>(bytes - done, 1 << 26);
            sum.add(at + done, std::size_t(piece));
            ok = file.write(at + done, qint64(piece));
            done += piece;
        }
        written = offset + bytes;
    };
    section(header.records_offset, records.data(), records.size() * sizeof(Record));
    section(header.problems_offset, problems.data(), problems.size() * sizeof(Problem));
    std::vector<Fitting> fits;
    for (const WindowSettings &settings : fitting) {
        fits.push_back({settings.radius, settings.step_divisor});
    }
    section(header.fitting_offset, fits.data(), fits.size() * sizeof(Fitting));
    section(header.strings_offset, strings.constData(), header.strings_bytes);
    std::uint64_t values_at = header.values_offset;
    for (const FeatureMap &map : contents.maps) {
        section(values_at, map.data(), std::uint64_t(map.cell_count()) * sizeof(float));
        values_at += std::uint64_t(map.cell_count()) * sizeof(float);
    }
    section(header.cells_offset, cells.values, cells.size * sizeof(float));
    section(places_offset, cells.places, cells.size * sizeof(std::uint64_t));
    section(next_offset, cells.next, cells.size * sizeof(float));
    section(lows_offset, cells.block_low, cells.blocks() * sizeof(float));
    section(highs_offset, cells.block_high, cells.blocks() * sizeof(float));
    section(samples_offset, cells.next_samples, cells.samples() * sizeof(float));
    header.tables_checksum = tables.value();
    header.data_checksum = data.value();
    ok = ok && file.rewrite_start(reinterpret_cast<const char *>(&header), sizeof(Header));
    if (!ok || !file.commit()) {
        *error = file.error();
        return false;
    }
    return true;
}

IndexState read_ft1_index(const QString &ft1_path, Ft1Contents &contents, QString *why,
                          bool check_data)
{
    const QString path = ft1_index_path(ft1_path);
    if (!QFileInfo(path).isFile()) {
        return IndexState::absent;
    }
    auto mapping = std::make_shared<Mapping>();
    mapping->file.setFileName(path);
    if (!mapping->file.open(QIODevice::ReadOnly)) {
        *why = mapping->file.errorString();
        return IndexState::unreadable;
    }
    mapping->size = mapping->file.size();
    auto damaged = [&](const QString &what) {
        *why = what;
        return IndexState::damaged;
    };
    if (mapping->size < qint64(sizeof(Header))) {
        return damaged("cut short");
    }
    // A private mapping: the maps may be written to without touching the file.
    mapping->data = mapping->file.map(0, mapping->size, QFileDevice::MapPrivateOption);
    if (!mapping->data) {
        *why = mapping->file.errorString();
        return IndexState::unreadable;
    }
    Header header;
    std::memcpy(&header, mapping->data, sizeof header);
    const auto size = std::uint64_t(mapping->size);
    if (std::memcmp(header.magic, magic, sizeof magic) != 0) {
        return damaged("not an index");
    }
    if (header.version != format_version || header.header_bytes != sizeof(Header)) {
        return damaged(
            QString("an index of format %1, not %2").arg(header.version).arg(format_version));
    }
    if (header.file_bytes != size) {
        return damaged(header.file_bytes > size ? "cut short" : "longer than it says");
    }
    const std::uint64_t places_offset =
        aligned(header.cells_offset + header.cells_count * sizeof(float));
    const std::uint64_t next_offset =
        aligned(places_offset + header.cells_count * sizeof(std::uint64_t));
    const std::uint64_t block_count = (header.cells_count + cell_block - 1) / cell_block;
    const std::uint64_t lows_offset = aligned(next_offset + header.cells_count * sizeof(float));
    const std::uint64_t highs_offset = aligned(lows_offset + block_count * sizeof(float));
    const std::uint64_t sample_count = (header.cells_count + cell_sample - 1) / cell_sample;
    const std::uint64_t samples_offset = aligned(highs_offset + block_count * sizeof(float));
    if (!within(header.records_offset, header.record_count, sizeof(Record), size) ||
        !within(header.problems_offset, header.problems_listed, sizeof(Problem), size) ||
        !within(header.fitting_offset, header.fitting_count, sizeof(Fitting), size) ||
        !within(header.strings_offset, header.strings_bytes, 1, size) ||
        !within(header.values_offset, header.values_count, sizeof(float), size) ||
        !within(header.cells_offset, header.cells_count, sizeof(float), size) ||
        !within(places_offset, header.cells_count, sizeof(std::uint64_t), size) ||
        !within(next_offset, header.cells_count, sizeof(float), size) ||
        !within(lows_offset, block_count, sizeof(float), size) ||
        !within(highs_offset, block_count, sizeof(float), size) ||
        !within(samples_offset, sample_count, sizeof(float), size) ||
        header.record_count > std::uint64_t(std::numeric_limits<int>::max()) ||
        header.header_lines > std::uint64_t(std::numeric_limits<int>::max())) {
        return damaged("sections outside the file");
    }
    if (header.values_offset < sizeof(Header)) {
        return damaged("sections outside the file");
    }
    const char *bytes = reinterpret_cast<const char *>(mapping->data);
    Checksum tables;
    tables.add(bytes + sizeof(Header), std::size_t(header.values_offset - sizeof(Header)));
    if (tables.value() != header.tables_checksum) {
        return damaged("corrupt (its checksum does not match)");
    }
    if (check_data) {
        Checksum data;
        data.add(bytes + header.values_offset, std::size_t(size - header.values_offset));
        if (data.value() != header.data_checksum) {
            return damaged("corrupt (its checksum does not match)");
        }
    }
    // The .ft1: unchanged when its size, time and inode are those it had; else its checksum
    // decides (a copy, or a file touched without a change, keeps its index).
    const FileStamp stamp = stamp_of(ft1_path);
    if (stamp.bytes != header.ft1_bytes || stamp.modified_ns != header.ft1_modified_ns ||
        stamp.inode != header.ft1_inode) {
        qint64 ft1_bytes = 0;
        QString error;
        const std::optional<std::uint64_t> ft1_checksum =
            file_checksum(ft1_path, &ft1_bytes, &error);
        if (!ft1_checksum) {
            *why = error;
            return IndexState::unreadable;
        }
        if (std::uint64_t(ft1_bytes) != header.ft1_bytes || *ft1_checksum != header.ft1_checksum) {
            *why = "made from another version of the file";
            return IndexState::stale;
        }
    }

    const char *base = reinterpret_cast<const char *>(mapping->data);
    const char *strings = base + header.strings_offset;
    auto text = [&](std::uint64_t offset, std::uint64_t length, bool *ok) {
        *ok = offset <= header.strings_bytes && length <= header.strings_bytes - offset;
        return *ok ? QString::fromUtf8(strings + offset, int(length)) : QString();
    };
    Ft1Contents result;
    result.opened = true;
    result.from_index = true;
    result.header_lines = int(header.header_lines);
    result.problem_count = qint64(header.problem_count);
    float *values = reinterpret_cast<float *>(mapping->data + header.values_offset);
    std::shared_ptr<const void> keeper = mapping;
    for (std::uint64_t k = 0; k < header.record_count; ++k) {
        Record r;
        std::memcpy(&r, base + header.records_offset + k * sizeof(Record), sizeof r);
        bool ok = false;
        Ft1Record record;
        record.name = text(r.name_offset, r.name_bytes, &ok);
        if (!ok) {
            return damaged("a name outside the file");
        }
        record.image_width = r.image_width;
        record.image_height = r.image_height;
        record.map_width = r.map_width;
        record.map_height = r.map_height;
        record.complete = r.complete != 0;
        if (r.values_index >= 0) {
            FeatureMap map;
            map.width = r.map_width;
            map.height = r.map_height;
            map.name = record.name;
            const std::uint64_t cells = std::uint64_t(map.cell_count());
            if (cells == 0 || std::uint64_t(r.values_index) > header.values_count ||
                cells > header.values_count - std::uint64_t(r.values_index)) {
                return damaged("a map outside the file");
            }
            map.values = std::shared_ptr<float[]>(std::const_pointer_cast<void>(keeper),
                                                  values + r.values_index);
            result.maps.append(map);
        }
        result.records.append(record);
    }
    for (std::uint64_t k = 0; k < header.problems_listed; ++k) {
        Problem p;
        std::memcpy(&p, base + header.problems_offset + k * sizeof(Problem), sizeof p);
        bool ok = false;
        const QString what = text(p.text_offset, p.text_bytes, &ok);
        if (!ok) {
            return damaged("a message outside the file");
        }
        result.problems.append(p.line >= 0 ? QString("%1:%2:%3").arg(ft1_path).arg(p.line).arg(what)
                                           : QString("%1:%2").arg(ft1_path, what));
    }
    if (result.problem_count > max_problems_listed) {
        result.problems.append(QString("%1: %2 more malformed lines")
                                   .arg(ft1_path)
                                   .arg(result.problem_count - max_problems_listed));
    }
    result.cells.storage = keeper;
    result.cells.values = reinterpret_cast<const float *>(mapping->data + header.cells_offset);
    result.cells.places = reinterpret_cast<const std::uint64_t *>(mapping->data + places_offset);
    result.cells.next = reinterpret_cast<const float *>(mapping->data + next_offset);
    result.cells.block_low = reinterpret_cast<const float *>(mapping->data + lows_offset);
    result.cells.block_high = reinterpret_cast<const float *>(mapping->data + highs_offset);
    result.cells.next_samples = reinterpret_cast<const float *>(mapping->data + samples_offset);
    result.cells.size = std::size_t(header.cells_count);
    // The places are not read here (most of the file): the aligned search checks each one it
    // uses against the maps, so that a damaged index can mislead it but never make it read
    // outside a map.
    contents = std::move(result);
    return IndexState::used;
}
