#include "ft1/ft1_index_format.h"

#include "maps/sorted_cells.h"

#include <QFile>

#include <sys/stat.h>

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

IndexLayout index_layout(std::uint64_t record_count, std::uint64_t problems_listed,
                         std::uint64_t fitting_count, std::uint64_t strings_bytes,
                         std::uint64_t values_count, std::uint64_t cells_count)
{
    IndexLayout at;
    at.block_count = blocks_of(cells_count, cell_block);
    at.sample_count = blocks_of(cells_count, cell_sample);
    at.records = aligned(sizeof(IndexHeader));
    at.problems = aligned(at.records + record_count * sizeof(IndexRecord));
    at.fitting = aligned(at.problems + problems_listed * sizeof(IndexProblem));
    at.strings = aligned(at.fitting + fitting_count * sizeof(IndexFitting));
    at.values = aligned(at.strings + strings_bytes);
    at.cells = aligned(at.values + values_count * sizeof(float));
    at.places = aligned(at.cells + cells_count * sizeof(float));
    at.next = aligned(at.places + cells_count * sizeof(std::uint64_t));
    at.lows = aligned(at.next + cells_count * sizeof(float));
    at.highs = aligned(at.lows + at.block_count * sizeof(float));
    at.samples = aligned(at.highs + at.block_count * sizeof(float));
    at.file_bytes = at.samples + at.sample_count * sizeof(float);
    return at;
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
