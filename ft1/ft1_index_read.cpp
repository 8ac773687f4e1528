// Reading PATH.ft1.idx: checked, then memory-mapped into the contents it holds.

#include "ft1/ft1_index.h"

#include "ft1/ft1_index_format.h"
#include "ft1/value_guard.h"
#include "support/checksum.h"
#include "support/mapped_files.h"

#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

// The mapped index, kept while any map or array points into it.
struct Mapping {
    QFile file;
    uchar *data = nullptr;
    qint64 size = 0;
    ~Mapping()
    {
        if (data) {
            forget_mapped_file(data);
            file.unmap(data);
        }
    }
};

// The candidate index's entries, read from the file where a search looks: each read brings in
// the entries it asks for, where a page of a mapping would bring into the process as much of the
// file as the kernel keeps together around it (large runs, for a file written just now), and
// some thousands of buckets read here and there would soon hold most of the section.
class FileCandidates : public CandidateSource
{
public:
    FileCandidates(std::shared_ptr<Mapping> mapping, std::uint64_t starts, std::uint64_t entries)
        : m_mapping(std::move(mapping))
        , m_starts(reinterpret_cast<const std::uint32_t *>(m_mapping->data + starts))
        , m_entries(entries)
    {}

    // The directory is read where it is mapped: a search asks it of more blocks than it reads
    // the entries of, and it is a small part of the file.
    bool bucket(std::uint32_t b, std::uint64_t &begin, std::uint64_t &end) const override
    {
        begin = m_starts[b];
        end = m_starts[b + 1];
        return true;
    }
    const CandidateEntry *entries(std::uint64_t first, std::uint64_t count) const override
    {
        thread_local std::vector<CandidateEntry> read;
        read.resize(std::size_t(count));
        char *at = reinterpret_cast<char *>(read.data());
        const std::uint64_t bytes = count * sizeof(CandidateEntry);
        const std::uint64_t offset = m_entries + first * sizeof(CandidateEntry);
        for (std::uint64_t done = 0; done < bytes;) {
            const ssize_t got = ::pread(m_mapping->file.handle(), at + done,
                                        std::size_t(bytes - done), off_t(offset + done));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                read.clear(); // entries that cannot be read name no window
                read.resize(std::size_t(count), CandidateEntry{~0u, 0});
                break;
            }
            done += std::uint64_t(got);
        }
        return read.data();
    }

private:
    std::shared_ptr<Mapping> m_mapping; // keeps the file open
    const std::uint32_t *m_starts;
    std::uint64_t m_entries;
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
    return offset <= size && (item == 0 || count <= (size - offset) / item);
}

// Every section inside the file, in the order the counts place them, and counts that fit the
// contents. A count too large for the file may wrap the offsets after it around, but then its
// own section is not inside the file.
bool sections_fit(const IndexHeader &header, const IndexLayout &at, std::uint64_t size)
{
    const IndexCounts counts = counts_of(header);
    const std::uint64_t sections[] = {
        at.values,  at.cells,      at.places, at.next,        at.lows,     at.highs,
        at.samples, at.candidates, at.starts, at.records,     at.problems, at.fitting,
        at.strings, at.value_sums, at.rarity, at.name_groups, at.sizes,    at.file_bytes};
    for (std::size_t k = 1; k < std::size(sections); ++k) {
        if (sections[k] < sections[k - 1]) {
            return false;
        }
    }
    return at.file_bytes == size && within(at.values, counts.values, sizeof(float), size) &&
           within(at.cells, counts.cells, sizeof(float), size) &&
           within(at.places, counts.cells, sizeof(std::uint64_t), size) &&
           within(at.next, counts.cells, sizeof(float), size) &&
           within(at.candidates, counts.candidates, sizeof(CandidateEntry), size) &&
           within(at.records, counts.records, sizeof(IndexRecord), size) &&
           within(at.problems, counts.problems, sizeof(IndexProblem), size) &&
           within(at.name_groups, counts.maps, sizeof(std::uint32_t), size) &&
           within(at.sizes, counts.sizes, sizeof(IndexMapSize), size) &&
           counts.records <= std::uint64_t(std::numeric_limits<int>::max()) &&
           counts.maps <= counts.records && counts.candidates < (std::uint64_t(1) << 32) &&
           header.header_lines <= std::uint64_t(std::numeric_limits<int>::max()) &&
           (counts.candidate_bits == 0
                ? counts.candidates == 0
                : counts.candidate_bits >= 10 && counts.candidate_bits <= candidate_most_bits);
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
    if (header.header_checksum != header_checksum(header)) {
        return "corrupt (its checksum does not match)";
    }
    if (header.file_bytes != size) {
        return header.file_bytes > size ? "cut short" : "longer than it says";
    }
    at = index_layout(counts_of(header));
    return sections_fit(header, at, size) ? QString() : QString("sections outside the file");
}

// The tables always; the sorted cells, the candidate index and every block of values when
// `check_data` is set.
bool checksums_match(const char *bytes, const IndexHeader &header, const IndexLayout &at,
                     bool check_data)
{
    Checksum tables;
    tables.add(bytes + at.records, std::size_t(at.file_bytes - at.records));
    if (tables.value() != header.tables_checksum) {
        return false;
    }
    if (check_data) {
        Checksum data;
        data.add(bytes + at.cells, std::size_t(at.records - at.cells));
        return data.value() == header.data_checksum;
    }
    return true;
}

// The .ft1: unchanged when its size, times and inode are those it had; else its checksum
// decides (a copy, or a file touched without a change, keeps its index).
IndexRead source_check(const QString &ft1_path, const IndexHeader &header)
{
    const FileStamp stamp = stamp_of(ft1_path);
    const FileStamp made{header.ft1_bytes, header.ft1_modified_ns, header.ft1_changed_ns,
                         header.ft1_inode};
    if (stamp == made) {
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

template <class T> const T *array_at(const Mapping &mapping, std::uint64_t offset)
{
    return reinterpret_cast<const T *>(mapping.data + offset);
}

// The records, and the maps of the complete ones pointing into the mapping; why not, when a
// record points outside the file.
QString read_records(const std::shared_ptr<Mapping> &mapping, const IndexHeader &header,
                     const IndexLayout &at, const Strings &strings, Ft1Contents &contents)
{
    const auto *records = array_at<IndexRecord>(*mapping, at.records);
    float *values = reinterpret_cast<float *>(mapping->data + at.values);
    std::shared_ptr<void> keeper = mapping;
    for (std::uint64_t k = 0; k < header.record_count; ++k) {
        IndexRecord r;
        std::memcpy(&r, records + k, sizeof r);
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
    return std::uint64_t(contents.maps.size()) == header.map_count ? QString()
                                                                   : "maps that are not listed";
}

// The listed malformed lines, under `ft1_path`; why not, when one points outside the file.
QString read_problems(const Mapping &mapping, const IndexHeader &header, const IndexLayout &at,
                      const Strings &strings, const QString &ft1_path, Ft1Contents &contents)
{
    const auto *problems = array_at<IndexProblem>(mapping, at.problems);
    for (std::uint64_t k = 0; k < header.problems_listed; ++k) {
        IndexProblem p;
        std::memcpy(&p, problems + k, sizeof p);
        if (!strings.holds(p.text_offset, p.text_bytes)) {
            return "a message outside the file";
        }
        contents.problems.append(
            problem_line(ft1_path, p, strings.text(p.text_offset, p.text_bytes)));
    }
    close_problem_list(contents, ft1_path);
    return QString();
}

// The sizes of the maps and their names' groups; why not, when they do not fit the maps.
QString read_summary(const std::shared_ptr<Mapping> &mapping, const IndexHeader &header,
                     const IndexLayout &at, Ft1Contents &contents)
{
    MapsSummary &summary = contents.summary;
    const auto *groups = array_at<std::uint32_t>(*mapping, at.name_groups);
    for (std::uint64_t m = 0; m < header.map_count; ++m) {
        if (groups[m] > m) {
            return "a name group outside the maps";
        }
    }
    const auto *sizes = array_at<IndexMapSize>(*mapping, at.sizes);
    qint64 maps = 0;
    for (std::uint64_t k = 0; k < header.size_count; ++k) {
        summary.sizes.append({QSize(sizes[k].width, sizes[k].height), qint64(sizes[k].count)});
        maps += qint64(std::min<std::uint64_t>(sizes[k].count, header.map_count));
    }
    if (std::uint64_t(maps) != header.map_count) {
        return "map sizes that are not the maps'";
    }
    summary.storage = mapping;
    summary.name_groups = groups;
    summary.map_count = std::size_t(header.map_count);
    return QString();
}

// The places of the sorted cells and the candidate index's entries are not read here (most of
// the file): a search checks each one it uses against the maps, so that a damaged index can
// mislead it but never make it read outside a map.
void arrays_of(const std::shared_ptr<Mapping> &mapping, const IndexHeader &header,
               const IndexLayout &at, const QString &index_path, Ft1Contents &contents)
{
    SortedCells &cells = contents.cells;
    cells.storage = mapping;
    cells.values = array_at<float>(*mapping, at.cells);
    cells.places = array_at<std::uint64_t>(*mapping, at.places);
    cells.next = array_at<float>(*mapping, at.next);
    cells.block_low = array_at<float>(*mapping, at.lows);
    cells.block_high = array_at<float>(*mapping, at.highs);
    cells.next_samples = array_at<float>(*mapping, at.samples);
    cells.size = std::size_t(header.cells_count);
    CandidateArrays &candidates = contents.candidates;
    if (header.candidate_bits > 0) {
        candidates.storage = mapping;
        candidates.bits = int(header.candidate_bits);
        candidates.source = std::make_shared<FileCandidates>(mapping, at.starts, at.candidates);
        candidates.size = header.candidate_count;
        KeyRarity::Table table;
        std::memcpy(table.data(), mapping->data + at.rarity, sizeof table);
        candidates.rarity = KeyRarity(table);
    }
    contents.guard = std::make_shared<ValueGuard>(
        mapping, array_at<float>(*mapping, at.values), header.values_count,
        array_at<std::uint64_t>(*mapping, at.value_sums), index_value_block, index_path);
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
    const Strings strings{reinterpret_cast<const char *>(mapping->data + at.strings),
                          header.strings_bytes};
    QString why = read_records(mapping, header, at, strings, contents);
    if (why.isEmpty()) {
        why = read_problems(*mapping, header, at, strings, ft1_path, contents);
    }
    if (why.isEmpty()) {
        why = read_summary(mapping, header, at, contents);
    }
    if (!why.isEmpty()) {
        return verdict(IndexState::damaged, why);
    }
    arrays_of(mapping, header, at, ft1_index_path(ft1_path), contents);
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
    // Another program cutting the file short while it is mapped ends the command with a line
    // naming it, not with a signal.
    remember_mapped_file(mapping->data, std::size_t(mapping->size), path);
    // Searches read a few pages here and there of the values, the sorted cells and the
    // candidate index: the pages around each are not read ahead (the tables, read whole on
    // every load, come after them).
    ::madvise(mapping->data, std::size_t(mapping->size), MADV_RANDOM);
    IndexHeader header;
    std::memcpy(&header, mapping->data, sizeof header);
    const auto size = std::uint64_t(mapping->size);
    IndexLayout at;
    const QString why = header_problem(header, size, at);
    if (!why.isEmpty()) {
        return verdict(IndexState::damaged, why);
    }
    const std::uint64_t tables = at.records / 4096 * 4096;
    ::madvise(mapping->data + tables, std::size_t(size - tables), MADV_SEQUENTIAL);
    if (!checksums_match(reinterpret_cast<const char *>(mapping->data), header, at, check_data)) {
        return verdict(IndexState::damaged, "corrupt (its checksum does not match)");
    }
    IndexRead source = source_check(ft1_path, header);
    if (source.state != IndexState::used) {
        return source;
    }
    IndexRead read = contents_of(mapping, header, at, ft1_path);
    if (read.state == IndexState::used && check_data && !read.contents.guard->check_all()) {
        return verdict(IndexState::damaged, "corrupt (its checksum does not match)");
    }
    return read;
}
