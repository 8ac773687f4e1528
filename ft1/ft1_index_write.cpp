// Writing PATH.ft1.idx from one read of PATH.ft1's text, in bounded memory whatever the size of
// the database: the maps' values go to the index as they are read (with the checksum of the
// bytes read, so that the index describes exactly the text it was made from, even when another
// program replaces the file meanwhile); the sorted cells and the candidate index are then made
// a piece at a time from the values read back, and the tables follow.

#include "ft1/ft1_index.h"

#include "ft1/ft1_index_format.h"
#include "ft1/ft1_reader.h"
#include "ft1/settings_fit.h"
#include "maps/candidate_blocks.h"
#include "maps/sorted_cells.h"
#include "support/atomic_file.h"
#include "support/checksum.h"
#include "support/scratch_file.h"
#include "support/threads.h"

#include <QFileInfo>
#include <QHash>
#include <QMap>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

// The values of the maps as they are read, right after the header, with the checksum of each
// block of them.
class ValuesOut
{
public:
    ValuesOut(AtomicFile &file, std::uint64_t offset)
        : m_file(file)
        , m_offset(offset)
    {}

    void add(const FeatureMap &map)
    {
        const float *values = map.data();
        std::uint64_t left = std::uint64_t(map.cell_count());
        m_ok = m_ok && m_file.write_at(qint64(m_offset + m_count * sizeof(float)),
                                       reinterpret_cast<const char *>(values),
                                       qint64(left * sizeof(float)));
        while (left > 0) {
            const std::uint64_t taken = std::min(left, index_value_block - m_in_block);
            m_block.add(reinterpret_cast<const char *>(values), std::size_t(taken * sizeof(float)));
            values += taken;
            left -= taken;
            m_count += taken;
            m_in_block += taken;
            if (m_in_block == index_value_block) {
                close_block();
            }
        }
    }

    // After the last map: the checksums of the blocks.
    const std::vector<std::uint64_t> &sums()
    {
        if (m_in_block > 0) {
            close_block();
        }
        return m_sums;
    }
    std::uint64_t count() const { return m_count; }
    bool ok() const { return m_ok; }

private:
    void close_block()
    {
        m_sums.push_back(m_block.value());
        m_block = Checksum();
        m_in_block = 0;
    }

    AtomicFile &m_file;
    std::uint64_t m_offset;
    std::uint64_t m_count = 0;
    std::uint64_t m_in_block = 0;
    Checksum m_block;
    std::vector<std::uint64_t> m_sums;
    bool m_ok = true;
};

struct MapPlace {
    int width;
    int height;
    std::uint64_t values_index;
};

// The maps read back from the values written, a few tens of megabytes at a time.
class MapsBack
{
public:
    MapsBack(AtomicFile &file, std::uint64_t values_offset, const std::vector<MapPlace> &maps)
        : m_file(file)
        , m_values_offset(values_offset)
        , m_maps(maps)
    {}

    // Calls take(first_number, maps) for every batch of consecutive maps in order; false when
    // reading failed. The maps' values live until the next batch is read.
    template <class Take> bool each_batch(Take take)
    {
        constexpr std::uint64_t batch = std::uint64_t(16) << 20; // floats
        std::size_t next = 0;
        while (next < m_maps.size()) {
            // Whole maps, at least one.
            std::size_t end = next;
            std::uint64_t floats = 0;
            do {
                floats += std::uint64_t(m_maps[end].width) * std::uint64_t(m_maps[end].height);
                ++end;
            } while (end < m_maps.size() &&
                     floats + std::uint64_t(m_maps[end].width) * m_maps[end].height <= batch);
            if (floats > m_floats) {
                m_buffer = std::shared_ptr<float[]>(new float[floats]);
                m_floats = floats;
            }
            const std::shared_ptr<float[]> &buffer = m_buffer;
            if (!m_file.read_at(qint64(m_values_offset + m_maps[next].values_index * sizeof(float)),
                                reinterpret_cast<char *>(buffer.get()),
                                qint64(floats * sizeof(float)))) {
                return false;
            }
            std::vector<FeatureMap> maps;
            for (std::size_t k = next; k < end; ++k) {
                FeatureMap map;
                map.width = m_maps[k].width;
                map.height = m_maps[k].height;
                map.values = std::shared_ptr<float[]>(
                    buffer, buffer.get() + (m_maps[k].values_index - m_maps[next].values_index));
                maps.push_back(map);
            }
            take(std::uint32_t(next), maps);
            next = end;
        }
        return true;
    }

private:
    AtomicFile &m_file;
    std::uint64_t m_values_offset;
    const std::vector<MapPlace> &m_maps;
    std::shared_ptr<float[]> m_buffer; // kept from batch to batch
    std::uint64_t m_floats = 0;
};

// The candidate index's entries as the first pass makes them, in files of a range of buckets
// each, to be sorted into place a file at a time.
class SpillFiles : public CandidateSpill
{
public:
    SpillFiles(const QString &beside, int bits, int files)
        : m_width(std::max<std::uint64_t>(
              1, ((std::uint64_t(1) << bits) + std::uint64_t(files) - 1) / std::uint64_t(files)))
    {
        for (int k = 0; k < files; ++k) {
            m_files.push_back(std::make_unique<ScratchFile>(beside));
            m_buffers.emplace_back();
        }
    }

    void add(const CandidateGathered &gathered) override
    {
        const std::size_t file = std::size_t(gathered.bucket / m_width);
        std::vector<CandidateGathered> &buffer = m_buffers[file];
        buffer.push_back(gathered);
        if (buffer.size() >= buffered) {
            flush(file);
        }
    }

    bool finish()
    {
        for (std::size_t file = 0; file < m_files.size(); ++file) {
            flush(file);
        }
        return ok();
    }

    bool ok() const
    {
        return std::all_of(m_files.begin(), m_files.end(),
                           [](const auto &file) { return file->ok(); });
    }
    QString error() const
    {
        for (const auto &file : m_files) {
            if (!file->ok()) {
                return file->error();
            }
        }
        return QString();
    }

    std::size_t files() const { return m_files.size(); }
    std::uint32_t first_bucket(std::size_t file) const { return std::uint32_t(file * m_width); }

    // The entries of the file whose buckets lie in [first, end).
    bool read(std::size_t file, std::uint32_t first, std::uint32_t end,
              std::vector<CandidateGathered> &gathered)
    {
        ScratchFile &scratch = *m_files[file];
        const qint64 count = scratch.size() / qint64(sizeof(CandidateGathered));
        std::vector<CandidateGathered> piece(std::min<qint64>(count, qint64(1) << 20));
        for (qint64 done = 0; done < count;) {
            const qint64 taken = std::min<qint64>(count - done, qint64(piece.size()));
            if (!scratch.read_at(done * qint64(sizeof(CandidateGathered)),
                                 reinterpret_cast<char *>(piece.data()),
                                 taken * qint64(sizeof(CandidateGathered)))) {
                return false;
            }
            for (qint64 k = 0; k < taken; ++k) {
                if (piece[std::size_t(k)].bucket >= first && piece[std::size_t(k)].bucket < end) {
                    gathered.push_back(piece[std::size_t(k)]);
                }
            }
            done += taken;
        }
        return true;
    }

private:
    static constexpr std::size_t buffered = std::size_t(1) << 16;

    void flush(std::size_t file)
    {
        std::vector<CandidateGathered> &buffer = m_buffers[file];
        m_files[file]->append(reinterpret_cast<const char *>(buffer.data()),
                              qint64(buffer.size() * sizeof(CandidateGathered)));
        buffer.clear();
    }

    std::uint64_t m_width;
    std::vector<std::unique_ptr<ScratchFile>> m_files;
    std::vector<std::vector<CandidateGathered>> m_buffers;
};

// What the first pass over the text gives besides the values: the maps' places, and the counts
// of the sorted cells and the candidate index.
struct FirstPass {
    Ft1Contents contents; // without maps
    std::vector<MapPlace> maps;
    std::vector<std::uint64_t> value_sums;
    std::uint64_t values_count = 0;
};

// The tables and their counts.
struct Tables {
    std::vector<IndexRecord> records;
    std::vector<IndexProblem> problems;
    std::vector<IndexFitting> fitting;
    QByteArray strings;
    std::vector<std::uint32_t> name_groups;
    std::vector<IndexMapSize> sizes;
};

Tables tables_of(const FirstPass &read, const QString &ft1_path)
{
    Tables tables;
    QHash<QString, std::uint32_t> first_of_name;
    QMap<QPair<int, int>, std::uint64_t> sizes;
    std::size_t next_map = 0;
    for (const Ft1Record &record : read.contents.records) {
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
            r.values_index = std::int64_t(read.maps[next_map].values_index);
            const auto first = first_of_name.constFind(record.name);
            if (first == first_of_name.constEnd()) {
                first_of_name.insert(record.name, std::uint32_t(next_map));
                tables.name_groups.push_back(std::uint32_t(next_map));
            } else {
                tables.name_groups.push_back(first.value());
            }
            ++sizes[qMakePair(record.map_width, record.map_height)];
            ++next_map;
        }
        tables.records.push_back(r);
    }
    const qint64 listed = std::min<qint64>(read.contents.problems.size(), max_problems_listed);
    for (qint64 k = 0; k < listed; ++k) {
        tables.problems.push_back(
            stored_problem(read.contents.problems[int(k)], ft1_path, tables.strings));
    }
    for (const WindowSettings &settings : fitting_settings(read.contents.records)) {
        tables.fitting.push_back({settings.radius, settings.step_divisor});
    }
    for (auto size = sizes.cbegin(); size != sizes.cend(); ++size) {
        tables.sizes.push_back({size.key().first, size.key().second, size.value()});
    }
    return tables;
}

void add_counts(const Tables &tables, IndexCounts &counts)
{
    counts.records = tables.records.size();
    counts.maps = tables.name_groups.size();
    counts.problems = tables.problems.size();
    counts.fitting = tables.fitting.size();
    counts.strings = std::uint64_t(tables.strings.size());
    counts.sizes = tables.sizes.size();
}

// The tables as the index holds them, from `at.records` to the end.
QByteArray tables_bytes(const Tables &tables, const FirstPass &read, const KeyRarity &rarity,
                        const IndexLayout &at)
{
    QByteArray bytes(int(at.file_bytes - at.records), '\0');
    auto put = [&](std::uint64_t offset, const void *from, std::uint64_t size) {
        if (size > 0) {
            std::memcpy(bytes.data() + (offset - at.records), from, std::size_t(size));
        }
    };
    put(at.records, tables.records.data(), tables.records.size() * sizeof(IndexRecord));
    put(at.problems, tables.problems.data(), tables.problems.size() * sizeof(IndexProblem));
    put(at.fitting, tables.fitting.data(), tables.fitting.size() * sizeof(IndexFitting));
    put(at.strings, tables.strings.constData(), std::uint64_t(tables.strings.size()));
    put(at.value_sums, read.value_sums.data(), read.value_sums.size() * sizeof(std::uint64_t));
    put(at.rarity, rarity.table().data(), rarity_floats * sizeof(float));
    put(at.name_groups, tables.name_groups.data(),
        tables.name_groups.size() * sizeof(std::uint32_t));
    put(at.sizes, tables.sizes.data(), tables.sizes.size() * sizeof(IndexMapSize));
    return bytes;
}

template <class T>
bool write_array(AtomicFile &file, std::uint64_t offset, const T *data, std::uint64_t count)
{
    return file.write_at(qint64(offset), reinterpret_cast<const char *>(data),
                         qint64(count * sizeof(T)));
}

// The sorted cells, a range of values at a time.
bool write_sorted_cells(AtomicFile &file, MapsBack &maps, CellSorter &sorter, const IndexLayout &at,
                        int threads)
{
    bool ok = true;
    while (ok && sorter.next_pass()) {
        ok = maps.each_batch([&](std::uint32_t first, const std::vector<FeatureMap> &batch) {
            sorter.add(first, batch, threads);
        });
        sorter.finish_pass();
    }
    sorter.finish();
    return ok && write_array(file, at.lows, sorter.block_low().data(), sorter.block_low().size()) &&
           write_array(file, at.highs, sorter.block_high().data(), sorter.block_high().size()) &&
           write_array(file, at.samples, sorter.next_samples().data(),
                       sorter.next_samples().size());
}

// The candidate index, from the spilled entries: a file at a time, or a range of its buckets at
// a time when it holds more than `most` entries.
bool write_candidates(AtomicFile &file, SpillFiles &spill, CandidateIndexPlan &plan,
                      std::uint64_t most, const IndexLayout &at)
{
    const std::vector<std::uint32_t> starts = plan.starts();
    const std::uint32_t buckets = std::uint32_t(starts.size() - 1);
    bool ok = spill.finish();
    for (std::size_t part = 0; ok && part < spill.files(); ++part) {
        const std::uint32_t part_end =
            part + 1 < spill.files() ? std::min(buckets, spill.first_bucket(part + 1)) : buckets;
        for (std::uint32_t first = std::min(buckets, spill.first_bucket(part));
             ok && first < part_end;) {
            const std::uint32_t end =
                std::min(part_end, CandidateIndexPlan::range_end(starts, first, most));
            std::vector<CandidateGathered> gathered;
            gathered.reserve(std::size_t(starts[end] - starts[first]));
            ok = spill.read(part, first, end, gathered);
            const std::vector<CandidateEntry> entries =
                CandidateIndexPlan::sorted(gathered, first, end);
            ok = ok && write_array(file, at.candidates + starts[first] * sizeof(CandidateEntry),
                                   entries.data(), entries.size());
            first = end;
        }
    }
    return ok && write_array(file, at.starts, starts.data(), starts.size());
}

// The checksum of [begin, end) of the file, read back.
bool checksum_back(AtomicFile &file, std::uint64_t begin, std::uint64_t end, std::uint64_t &sum)
{
    Checksum checksum;
    std::vector<char> buffer(std::size_t(1) << 24);
    for (std::uint64_t at = begin; at < end;) {
        const std::uint64_t piece = std::min<std::uint64_t>(end - at, buffer.size());
        if (!file.read_at(qint64(at), buffer.data(), qint64(piece))) {
            return false;
        }
        checksum.add(buffer.data(), std::size_t(piece));
        at += piece;
    }
    sum = checksum.value();
    return true;
}

IndexHeader header_of(const FirstPass &read, const IndexCounts &counts, const IndexLayout &at)
{
    IndexHeader header{};
    std::memcpy(header.magic, index_magic, sizeof index_magic);
    header.version = index_format_version;
    header.header_bytes = sizeof(IndexHeader);
    header.file_bytes = at.file_bytes;
    const Ft1Contents::Source &source = read.contents.source;
    header.ft1_bytes = std::uint64_t(source.bytes);
    header.ft1_checksum = source.checksum;
    header.ft1_modified_ns = source.stamp.modified_ns;
    header.ft1_changed_ns = source.stamp.changed_ns;
    header.ft1_inode = source.stamp.inode;
    header.header_lines = std::uint64_t(read.contents.header_lines);
    header.problem_count = std::uint64_t(read.contents.problem_count);
    header.record_count = counts.records;
    header.map_count = counts.maps;
    header.problems_listed = counts.problems;
    header.fitting_count = counts.fitting;
    header.strings_bytes = counts.strings;
    header.size_count = counts.sizes;
    header.values_count = counts.values;
    header.cells_count = counts.cells;
    header.candidate_count = counts.candidates;
    header.candidate_bits = counts.candidate_bits;
    return header;
}

} // namespace

IndexWrite write_ft1_index(const QString &ft1_path, const IndexWriteOptions &options)
{
    IndexWrite result;
    // Nothing is made beside a pipe, a device or a folder (the reader refuses them too).
    const QFileInfo source(ft1_path);
    if (!source.isFile()) {
        result.error = source.isDir()    ? QStringLiteral("is a folder")
                       : source.exists() ? QStringLiteral("not a regular file")
                                         : QString::fromLocal8Bit(std::strerror(ENOENT));
        return result;
    }
    AtomicFile file(ft1_index_path(ft1_path));
    if (!file.open()) {
        result.error = file.error();
        return result;
    }
    // A cell takes some ten characters of text: the candidate index's buckets, and how many
    // files its entries are spilled to, follow from the file's size before it is read.
    const std::uint64_t blocks_about =
        std::uint64_t(std::max<qint64>(0, QFileInfo(ft1_path).size())) / 10;
    CandidateIndexPlan plan(blocks_about);
    const std::uint64_t per_file = std::max<std::uint64_t>(options.memory_bytes / 48, 1);
    SpillFiles spill(ft1_index_path(ft1_path), plan.bits(),
                     int(std::min<std::uint64_t>(256, 2 * (blocks_about / per_file) + 1)));
    // The sorted cells are handed on in order once the sections are placed.
    IndexLayout at;
    std::uint64_t handed = 0;
    bool cells_written = true;
    // An entry of the sorted cells or the candidate index takes some 48 bytes while it is
    // gathered (by several threads), sorted and written.
    CellSorter sorter(std::max<std::size_t>(options.memory_bytes / 48, cell_block),
                      [&](const float *values, const std::uint64_t *places, const float *next,
                          std::size_t count) {
                          cells_written =
                              cells_written &&
                              write_array(file, at.cells + handed * sizeof(float), values, count) &&
                              write_array(file, at.places + handed * sizeof(std::uint64_t), places,
                                          count) &&
                              write_array(file, at.next + handed * sizeof(float), next, count);
                          handed += count;
                      });
    FirstPass read;
    ValuesOut values(file, index_layout(IndexCounts()).values);
    TextReadOptions text;
    text.on_map = [&](const FeatureMap &map) {
        read.maps.push_back({map.width, map.height, values.count()});
        values.add(map);
        sorter.count(map);
        plan.count(map, std::uint32_t(read.maps.size() - 1), &spill);
    };
    read.contents = read_ft1_text(ft1_path, text);
    if (!read.contents.opened) {
        result.error = read.contents.error;
        return result;
    }
    read.value_sums = values.sums();
    read.values_count = values.count();
    const Tables tables = tables_of(read, ft1_path);
    IndexCounts counts;
    add_counts(tables, counts);
    counts.values = read.values_count;
    counts.cells = sorter.size();
    counts.candidates = plan.size();
    counts.candidate_bits = std::uint64_t(plan.bits());
    at = index_layout(counts);
    MapsBack maps(file, at.values, read.maps);
    const QByteArray table_bytes = tables_bytes(tables, read, plan.rarity(), at);
    IndexHeader header = header_of(read, counts, at);
    Checksum tables_sum;
    tables_sum.add(table_bytes.constData(), std::size_t(table_bytes.size()));
    header.tables_checksum = tables_sum.value();
    const int threads = thread_count(options.threads);
    bool ok = values.ok() && write_sorted_cells(file, maps, sorter, at, threads) && cells_written;
    ok = ok && write_candidates(file, spill, plan, per_file, at);
    ok = ok && file.write_at(qint64(at.records), table_bytes.constData(), table_bytes.size()) &&
         checksum_back(file, at.cells, at.records, header.data_checksum);
    header.header_checksum = header_checksum(header);
    ok = ok && file.rewrite_start(reinterpret_cast<const char *>(&header), sizeof header);
    if (!ok || !file.commit()) {
        result.error = spill.ok() ? file.error() : spill.error();
        return result;
    }
    result.written = true;
    return result;
}
