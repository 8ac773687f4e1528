// Writing PATH.ft1.idx from the parsed text of PATH.ft1.

#include "ft1/ft1_index.h"

#include "ft1/ft1_index_format.h"
#include "ft1/ft1_reader.h"
#include "ft1/settings_fit.h"
#include "support/atomic_file.h"
#include "support/checksum.h"

#include <cstring>
#include <vector>

namespace {

// The index's tables, and the strings they point into: the names, then the problems' texts.
struct Tables {
    std::vector<IndexRecord> records;
    std::vector<IndexProblem> problems;
    std::vector<IndexFitting> fitting;
    QByteArray strings;
    std::uint64_t values_count = 0;
};

Tables tables_of(const Ft1Contents &contents, const QString &ft1_path)
{
    Tables tables;
    int next_map = 0;
    for (const Ft1Record &record : contents.records) {
        const QByteArray name = record.name.toUtf8();
        IndexRecord r{std::uint64_t(tables.strings.size()),
                      std::uint32_t(name.size()),
                      record.image_width,
                      record.image_height,
                      record.map_width,
                      record.map_height,
                      record.complete ? 1u : 0u,
                      -1};
        tables.strings += name;
        if (record.complete && record.map_width > 0 && record.map_height > 0) {
            r.values_index = std::int64_t(tables.values_count);
            tables.values_count += std::uint64_t(contents.maps[next_map++].cell_count());
        }
        tables.records.push_back(r);
    }
    const qint64 listed = std::min<qint64>(contents.problems.size(), max_problems_listed);
    for (qint64 k = 0; k < listed; ++k) {
        tables.problems.push_back(
            stored_problem(contents.problems[int(k)], ft1_path, tables.strings));
    }
    for (const WindowSettings &settings : fitting_settings(contents.records)) {
        tables.fitting.push_back({settings.radius, settings.step_divisor});
    }
    return tables;
}

IndexHeader header_of(const Ft1Contents &contents, const Tables &tables, const IndexLayout &at,
                      std::uint64_t cells_count)
{
    IndexHeader header{};
    std::memcpy(header.magic, index_magic, sizeof index_magic);
    header.version = index_format_version;
    header.header_bytes = sizeof(IndexHeader);
    header.file_bytes = at.file_bytes;
    header.header_lines = std::uint64_t(contents.header_lines);
    header.problem_count = std::uint64_t(contents.problem_count);
    header.records_offset = at.records;
    header.record_count = tables.records.size();
    header.problems_offset = at.problems;
    header.problems_listed = tables.problems.size();
    header.fitting_offset = at.fitting;
    header.fitting_count = tables.fitting.size();
    header.strings_offset = at.strings;
    header.strings_bytes = std::uint64_t(tables.strings.size());
    header.values_offset = at.values;
    header.values_count = tables.values_count;
    header.cells_offset = at.cells;
    header.cells_count = cells_count;
    return header;
}

// Writes the sections in order, each after the padding up to its offset, behind room for the
// header: the tables' checksum covers every byte before the values, the data's every byte
// from there.
class SectionWriter
{
public:
    SectionWriter(AtomicFile &file, std::uint64_t values_offset)
        : m_file(file)
        , m_values_offset(values_offset)
    {
        // Rewritten at the end, with the checksums.
        m_ok = m_file.write(QByteArray(int(sizeof(IndexHeader)), '\0'));
    }

    void section(std::uint64_t offset, const void *bytes_at, std::uint64_t bytes)
    {
        if (!m_ok) {
            return;
        }
        const QByteArray padding(int(offset - m_written), '\0');
        (m_written < m_values_offset ? m_tables : m_data)
            .add(padding.constData(), std::size_t(padding.size()));
        m_ok = m_file.write(padding);
        Checksum &sum = offset < m_values_offset ? m_tables : m_data;
        const char *at = static_cast<const char *>(bytes_at);
        for (std::uint64_t done = 0; m_ok && done < bytes;) {
            const std::uint64_t piece = std::min<std::uint64_t>(bytes - done, 1 << 26);
            sum.add(at + done, std::size_t(piece));
            m_ok = m_file.write(at + done, qint64(piece));
            done += piece;
        }
        m_written = offset + bytes;
    }

    bool ok() const { return m_ok; }
    std::uint64_t tables_checksum() const { return m_tables.value(); }
    std::uint64_t data_checksum() const { return m_data.value(); }

private:
    AtomicFile &m_file;
    std::uint64_t m_values_offset;
    std::uint64_t m_written = sizeof(IndexHeader);
    bool m_ok = false;
    Checksum m_tables;
    Checksum m_data;
};

void write_sections(SectionWriter &out, const IndexLayout &at, const Tables &tables,
                    const QList<FeatureMap> &maps, const SortedCells &cells)
{
    out.section(at.records, tables.records.data(), tables.records.size() * sizeof(IndexRecord));
    out.section(at.problems, tables.problems.data(), tables.problems.size() * sizeof(IndexProblem));
    out.section(at.fitting, tables.fitting.data(), tables.fitting.size() * sizeof(IndexFitting));
    out.section(at.strings, tables.strings.constData(), std::uint64_t(tables.strings.size()));
    std::uint64_t values_at = at.values;
    for (const FeatureMap &map : maps) {
        out.section(values_at, map.data(), std::uint64_t(map.cell_count()) * sizeof(float));
        values_at += std::uint64_t(map.cell_count()) * sizeof(float);
    }
    out.section(at.cells, cells.values, cells.size * sizeof(float));
    out.section(at.places, cells.places, cells.size * sizeof(std::uint64_t));
    out.section(at.next, cells.next, cells.size * sizeof(float));
    out.section(at.lows, cells.block_low, cells.blocks() * sizeof(float));
    out.section(at.highs, cells.block_high, cells.blocks() * sizeof(float));
    out.section(at.samples, cells.next_samples, cells.samples() * sizeof(float));
}

} // namespace

IndexWrite write_ft1_index(const QString &ft1_path)
{
    IndexWrite result;
    const FileStamp stamp = stamp_of(ft1_path);
    const FileChecksum ft1 = file_checksum(ft1_path);
    if (!ft1.ok) {
        result.error = ft1.error;
        return result;
    }
    const Ft1Contents contents = read_ft1_text(ft1_path);
    if (!contents.opened) {
        result.error = contents.error;
        return result;
    }
    const SortedCells cells = sort_cells(contents.maps);
    const Tables tables = tables_of(contents, ft1_path);
    const IndexLayout at =
        index_layout(tables.records.size(), tables.problems.size(), tables.fitting.size(),
                     std::uint64_t(tables.strings.size()), tables.values_count, cells.size);
    IndexHeader header = header_of(contents, tables, at, cells.size);
    header.ft1_bytes = std::uint64_t(ft1.bytes);
    header.ft1_checksum = ft1.value;
    header.ft1_modified_ns = stamp.modified_ns;
    header.ft1_inode = stamp.inode;
    AtomicFile file(ft1_index_path(ft1_path));
    if (!file.open()) {
        result.error = file.error();
        return result;
    }
    SectionWriter out(file, at.values);
    write_sections(out, at, tables, contents.maps, cells);
    header.tables_checksum = out.tables_checksum();
    header.data_checksum = out.data_checksum();
    const bool ok =
        out.ok() && file.rewrite_start(reinterpret_cast<const char *>(&header), sizeof header);
    if (!ok || !file.commit()) {
        result.error = file.error();
        return result;
    }
    result.written = true;
    return result;
}
