#include "ft1/ft1_index_format.h"

#include "maps/candidate_blocks.h"
#include "maps/sorted_cells.h"
#include "support/checksum.h"

namespace {

constexpr std::uint64_t alignment = 64;

std::uint64_t aligned(std::uint64_t offset)
{
    return (offset + alignment - 1) / alignment * alignment;
}

std::uint64_t blocks_of(std::uint64_t count, std::uint64_t per_block)
{
    return count / per_block + (count % per_block != 0 ? 1 : 0);
}

} // namespace

static_assert(rarity_floats == std::uint64_t(key_block_cells) * key_code_count,
              "the rarity section holds one frequency per cell and code");

IndexCounts counts_of(const IndexHeader &header)
{
    IndexCounts counts;
    counts.records = header.record_count;
    counts.maps = header.map_count;
    counts.problems = header.problems_listed;
    counts.fitting = header.fitting_count;
    counts.strings = header.strings_bytes;
    counts.sizes = header.size_count;
    counts.values = header.values_count;
    counts.cells = header.cells_count;
    counts.candidates = header.candidate_count;
    counts.candidate_bits = header.candidate_bits;
    return counts;
}

IndexLayout index_layout(const IndexCounts &counts)
{
    IndexLayout at;
    at.block_count = blocks_of(counts.cells, cell_block);
    at.sample_count = blocks_of(counts.cells, cell_sample);
    at.value_blocks = blocks_of(counts.values, index_value_block);
    at.bucket_count = counts.candidate_bits > 0 && counts.candidate_bits <= 32
                          ? (std::uint64_t(1) << counts.candidate_bits) + 1
                          : 0;
    at.values = aligned(sizeof(IndexHeader));
    at.cells = aligned(at.values + counts.values * sizeof(float));
    at.places = aligned(at.cells + counts.cells * sizeof(float));
    at.next = aligned(at.places + counts.cells * sizeof(std::uint64_t));
    at.lows = aligned(at.next + counts.cells * sizeof(float));
    at.highs = aligned(at.lows + at.block_count * sizeof(float));
    at.samples = aligned(at.highs + at.block_count * sizeof(float));
    at.candidates = aligned(at.samples + at.sample_count * sizeof(float));
    at.starts = aligned(at.candidates + counts.candidates * sizeof(CandidateEntry));
    at.records = aligned(at.starts + at.bucket_count * sizeof(std::uint32_t));
    at.problems = aligned(at.records + counts.records * sizeof(IndexRecord));
    at.fitting = aligned(at.problems + counts.problems * sizeof(IndexProblem));
    at.strings = aligned(at.fitting + counts.fitting * sizeof(IndexFitting));
    at.value_sums = aligned(at.strings + counts.strings);
    at.rarity = aligned(at.value_sums + at.value_blocks * sizeof(std::uint64_t));
    at.name_groups = aligned(at.rarity + rarity_floats * sizeof(float));
    at.sizes = aligned(at.name_groups + counts.maps * sizeof(std::uint32_t));
    at.file_bytes = at.sizes + counts.sizes * sizeof(IndexMapSize);
    return at;
}

std::uint64_t header_checksum(IndexHeader header)
{
    header.header_checksum = 0;
    Checksum sum;
    sum.add(reinterpret_cast<const char *>(&header), sizeof header);
    return sum.value();
}

IndexProblem stored_problem(const QString &line, const QString &path, QByteArray &strings)
{
    QString rest = line.startsWith(path + ":") ? line.mid(path.size() + 1) : line;
    IndexProblem problem{-1, std::uint64_t(strings.size()), 0};
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

QString problem_line(const QString &path, const IndexProblem &problem, const QString &text)
{
    return problem.line >= 0 ? QString("%1:%2:%3").arg(path).arg(problem.line).arg(text)
                             : QString("%1:%2").arg(path, text);
}
