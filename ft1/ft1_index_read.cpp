// Reading PATH.ft1.idx: checked, then memory-mapped into the contents it holds.

#include "ft1/ft1_index.h"

#include "ft1/ft1_index_format.h"
#include "support/checksum.h"

#include <QFile>
#include <QFileInfo>

#include <cstring>
#include <limits>
#include <memory>

namespace {

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

IndexRead verdict(IndexState state, const QString &why)
{
    IndexRead read;
    read.state = state;
    read.error = why;
    return read;
}

bool within(std::uint64_t offset, std::uint64_t count, std::uint64_t item, std::uint64_t size)
{
    if (offset > size || (item != 0 && count > (size - offset) / item)) {
        return false;
    }
    return true;
}

// Every section inside the file and where the counts place it, and counts that fit the
// contents. A count too large for the file may wrap the offsets after it around, but then its
// own section is not inside the file.
bool sections_fit(const IndexHeader &header, const IndexLayout &at, std::uint64_t size)
{
    const std::uint64_t cells = header.cells_count;
    const bool placed = header.records_offset == at.records &&
                        header.problems_offset == at.problems &&
                        header.fitting_offset == at.fitting &&
                        header.strings_offset == at.strings && header.values_offset == at.values &&
                        header.cells_offset == at.cells && at.file_bytes == size;
    return within(at.records, header.record_count, sizeof(IndexRecord), size) &&
           within(at.problems, header.problems_listed, sizeof(IndexProblem), size) &&
           within(at.fitting, header.fitting_count, sizeof(IndexFitting), size) &&
           within(at.strings, header.strings_bytes, 1, size) &&
           within(at.values, header.values_count, sizeof(float), size) &&
           within(at.cells, cells, sizeof(float), size) &&
           within(at.places, cells, sizeof(std::uint64_t), size) &&
           within(at.next, cells, sizeof(float), size) &&
           within(at.lows, at.block_count, sizeof(float), size) &&
           within(at.highs, at.block_count, sizeof(float), size) &&
           within(at.samples, at.sample_count, sizeof(float), size) && placed &&
           header.record_count <= std::uint64_t(std::numeric_limits<int>::max()) &&
           header.header_lines <= std::uint64_t(std::numeric_limits<int>::max());
}

// Why the header does not describe an index of this format and size (empty when it does),
// and where its sections are.
QString header_problem(const IndexHeader &header, std::uint64_t size, IndexLayout &at)
{
    if (std::memcmp(header.magic, index_magic, sizeof index_magic) != 0) {
        return "not an index";
    }
    if (header.version != index_format_version || header.header_bytes != sizeof(IndexHeader)) {
        return QString("an index of format %1, not %2")
            .arg(header.version)
            .arg(index_format_version);
    }
    if (header.file_bytes != size) {
        return header.file_bytes > size ? "cut short" : "longer than it says";
    }
    at = index_layout(header.record_count, header.problems_listed, header.fitting_count,
                      header.strings_bytes, header.values_count, header.cells_count);
    return sections_fit(header, at, size) ? QString() : QString("sections outside the file");
}

// The tables always; the maps and sorted cells when `check_data` is set.
bool checksums_match(const char *bytes, const IndexHeader &header, std::uint64_t size,
                     bool check_data)
{
    Checksum tables;
    tables.add(bytes + sizeof(IndexHeader),
               std::size_t(header.values_offset - sizeof(IndexHeader)));
    if (tables.value() != header.tables_checksum) {
        return false;
    }
    if (check_data) {
        Checksum data;
        data.add(bytes + header.values_offset, std::size_t(size - header.values_offset));
        return data.value() == header.data_checksum;
    }
    return true;
}

// The .ft1: unchanged when its size, time and inode are those it had; else its checksum
// decides (a copy, or a file touched without a change, keeps its index).
IndexRead source_check(const QString &ft1_path, const IndexHeader &header)
{
    const FileStamp stamp = stamp_of(ft1_path);
    if (stamp.bytes == header.ft1_bytes && stamp.modified_ns == header.ft1_modified_ns &&
        stamp.inode == header.ft1_inode) {
        return verdict(IndexState::used, QString());
    }
    const FileChecksum ft1 = file_checksum(ft1_path);
    if (!ft1.ok) {
        return verdict(IndexState::unreadable, ft1.error);
    }
    if (std::uint64_t(ft1.bytes) != header.ft1_bytes || ft1.value != header.ft1_checksum) {
        return verdict(IndexState::stale, "made from another version of the file");
    }
    return verdict(IndexState::used, QString());
}

// The names and messages the tables point into.
struct Strings {
    const char *at;
    std::uint64_t bytes;

    bool holds(std::uint64_t offset, std::uint64_t length) const
    {
        return offset <= bytes && length <= bytes - offset;
    }
    QString text(std::uint64_t offset, std::uint64_t length) const
    {
        return QString::fromUtf8(at + offset, int(length));
    }
};

// The records, and the maps of the complete ones pointing into the mapping; why not, when a
// record points outside the file.
QString read_records(const std::shared_ptr<Mapping> &mapping, const IndexHeader &header,
                     const Strings &strings, Ft1Contents &contents)
{
    const char *base = reinterpret_cast<const char *>(mapping->data);
    float *values = reinterpret_cast<float *>(mapping->data + header.values_offset);
    std::shared_ptr<void> keeper = mapping;
    for (std::uint64_t k = 0; k < header.record_count; ++k) {
        IndexRecord r;
        std::memcpy(&r, base + header.records_offset + k * sizeof(IndexRecord), sizeof r);
        if (!strings.holds(r.name_offset, r.name_bytes)) {
            return "a name outside the file";
        }
        Ft1Record record;
        record.name = strings.text(r.name_offset, r.name_bytes);
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
                return "a map outside the file";
            }
            map.values = std::shared_ptr<float[]>(keeper, values + r.values_index);
            contents.maps.append(map);
        }
        contents.records.append(record);
    }
    return QString();
}

// The listed malformed lines, under `ft1_path`; why not, when one points outside the file.
QString read_problems(const char *base, const IndexHeader &header, const Strings &strings,
                      const QString &ft1_path, Ft1Contents &contents)
{
    for (std::uint64_t k = 0; k < header.problems_listed; ++k) {
        IndexProblem p;
        std::memcpy(&p, base + header.problems_offset + k * sizeof(IndexProblem), sizeof p);
        if (!strings.holds(p.text_offset, p.text_bytes)) {
            return "a message outside the file";
        }
        contents.problems.append(
            problem_line(ft1_path, p, strings.text(p.text_offset, p.text_bytes)));
    }
    close_problem_list(contents, ft1_path);
    return QString();
}

// The places are not read here (most of the file): the aligned search checks each one it uses
// against the maps, so that a damaged index can mislead it but never make it read outside a
// map.
SortedCells cells_of(const std::shared_ptr<Mapping> &mapping, const IndexLayout &at,
                     std::uint64_t cells_count)
{
    SortedCells cells;
    cells.storage = mapping;
    cells.values = reinterpret_cast<const float *>(mapping->data + at.cells);
    cells.places = reinterpret_cast<const std::uint64_t *>(mapping->data + at.places);
    cells.next = reinterpret_cast<const float *>(mapping->data + at.next);
    cells.block_low = reinterpret_cast<const float *>(mapping->data + at.lows);
    cells.block_high = reinterpret_cast<const float *>(mapping->data + at.highs);
    cells.next_samples = reinterpret_cast<const float *>(mapping->data + at.samples);
    cells.size = std::size_t(cells_count);
    return cells;
}

// The contents of a checked index.
IndexRead contents_of(const std::shared_ptr<Mapping> &mapping, const IndexHeader &header,
                      const IndexLayout &at, const QString &ft1_path)
{
    IndexRead read;
    read.state = IndexState::used;
    Ft1Contents &contents = read.contents;
    contents.opened = true;
    contents.from_index = true;
    contents.header_lines = int(header.header_lines);
    contents.problem_count = qint64(header.problem_count);
    const char *base = reinterpret_cast<const char *>(mapping->data);
    const Strings strings{base + header.strings_offset, header.strings_bytes};
    QString why = read_records(mapping, header, strings, contents);
    if (why.isEmpty()) {
        why = read_problems(base, header, strings, ft1_path, contents);
    }
    if (!why.isEmpty()) {
        return verdict(IndexState::damaged, why);
    }
    contents.cells = cells_of(mapping, at, header.cells_count);
    return read;
}

} // namespace

IndexRead read_ft1_index(const QString &ft1_path, bool check_data)
{
    const QString path = ft1_index_path(ft1_path);
    if (!QFileInfo(path).isFile()) {
        return verdict(IndexState::absent, QString());
    }
    auto mapping = std::make_shared<Mapping>();
    mapping->file.setFileName(path);
    if (!mapping->file.open(QIODevice::ReadOnly)) {
        return verdict(IndexState::unreadable, mapping->file.errorString());
    }
    mapping->size = mapping->file.size();
    if (mapping->size < qint64(sizeof(IndexHeader))) {
        return verdict(IndexState::damaged, "cut short");
    }
    // A private mapping: the maps may be written to without touching the file.
    mapping->data = mapping->file.map(0, mapping->size, QFileDevice::MapPrivateOption);
    if (!mapping->data) {
        return verdict(IndexState::unreadable, mapping->file.errorString());
    }
    IndexHeader header;
    std::memcpy(&header, mapping->data, sizeof header);
    const auto size = std::uint64_t(mapping->size);
    IndexLayout at;
    const QString why = header_problem(header, size, at);
    if (!why.isEmpty()) {
        return verdict(IndexState::damaged, why);
    }
    if (!checksums_match(reinterpret_cast<const char *>(mapping->data), header, size, check_data)) {
        return verdict(IndexState::damaged, "corrupt (its checksum does not match)");
    }
    IndexRead source = source_check(ft1_path, header);
    if (source.state != IndexState::used) {
        return source;
    }
    return contents_of(mapping, header, at, ft1_path);
}
