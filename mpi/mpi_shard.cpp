#include "mpi/mpi_shard.h"

#include "support/console.h"
#include "support/temporary_files.h"

#include <mpi.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <stdexcept>
#include <streambuf>
#include <vector>

namespace {

// A stream that drops everything: the console of a silent process.
class NullBuffer : public std::streambuf
{
protected:
    int overflow(int c) override { return c; }
    std::streamsize xsputn(const char *, std::streamsize count) override { return count; }
};

NullBuffer null_buffer;
std::ostream null_stream(&null_buffer);

const char *step_name(int step)
{
    switch (step) {
    case 1:
        return "exchanging results";
    case 2:
        return "gathering results";
    case 3:
        return "receiving the lead's word";
    case 4:
        return "finished";
    default:
        return "doing something unknown";
    }
}

// Byte offsets of every process's part, and the total, within int as MPI counts are.
std::vector<int> offsets_of(const std::vector<int> &sizes)
{
    std::vector<int> offsets(sizes.size() + 1, 0);
    long long total = 0;
    for (std::size_t k = 0; k < sizes.size(); ++k) {
        offsets[k] = int(total);
        total += sizes[k];
        if (total > INT_MAX) {
            throw std::runtime_error("more than 2 GB to exchange at once");
        }
    }
    offsets.back() = int(total);
    return offsets;
}

} // namespace

MpiJob::MpiJob(int &argc, char **&argv)
{
    int provided = 0;
    MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
    MPI_Comm_rank(MPI_COMM_WORLD, &m_rank);
    MPI_Comm_size(MPI_COMM_WORLD, &m_ranks);
    if (m_rank != 0) {
        // Silent: the lead process shows the job's console and answers.
        console::set_sink(&null_stream);
        std::fflush(stdout);
        std::fflush(stderr);
        m_error_fd = dup(2);
        const int null_fd = open("/dev/null", O_WRONLY);
        if (null_fd >= 0) {
            dup2(null_fd, 1);
            dup2(null_fd, 2);
            close(null_fd);
        }
        if (m_error_fd < 0) {
            m_error_fd = 2;
        }
    }
}

MpiJob::~MpiJob()
{
    MPI_Finalize();
}

QList<int> MpiJob::announce(Step step, int size)
{
    const int mine[2] = {step, size};
    std::vector<int> all(static_cast<std::size_t>(2 * m_ranks));
    MPI_Allgather(mine, 2, MPI_INT, all.data(), 2, MPI_INT, MPI_COMM_WORLD);
    QList<int> sizes;
    for (int rank = 0; rank < m_ranks; ++rank) {
        const int theirs = all[static_cast<std::size_t>(2 * rank)];
        if (theirs != step) {
            const int status = all[static_cast<std::size_t>(2 * rank + 1)];
            std::string why = "process " + std::to_string(rank) + " was " + step_name(theirs);
            if (theirs == finish_step) {
                why += " (exit status " + std::to_string(status) + ")";
            }
            why += " while process " + std::to_string(m_rank) + " was " + step_name(step) +
                   ": the processes took different paths (a file that only some of them could "
                   "read?)";
            abort(why);
        }
        sizes.append(all[static_cast<std::size_t>(2 * rank + 1)]);
    }
    return sizes;
}

QList<QByteArray> MpiJob::all_gather(const QByteArray &mine)
{
    const QList<int> announced = announce(all_gather_step, mine.size());
    const std::vector<int> sizes(announced.begin(), announced.end());
    const std::vector<int> offsets = offsets_of(sizes);
    QByteArray all(offsets.back(), Qt::Uninitialized);
    MPI_Allgatherv(mine.constData(), mine.size(), MPI_BYTE, all.data(), sizes.data(),
                   offsets.data(), MPI_BYTE, MPI_COMM_WORLD);
    QList<QByteArray> parts;
    for (int rank = 0; rank < m_ranks; ++rank) {
        parts.append(all.mid(offsets[std::size_t(rank)], sizes[std::size_t(rank)]));
    }
    return parts;
}

QList<QByteArray> MpiJob::gather(const QByteArray &mine)
{
    const QList<int> announced = announce(gather_step, mine.size());
    const std::vector<int> sizes(announced.begin(), announced.end());
    const std::vector<int> offsets = offsets_of(sizes);
    QByteArray all(m_rank == 0 ? offsets.back() : 0, Qt::Uninitialized);
    MPI_Gatherv(mine.constData(), mine.size(), MPI_BYTE, all.data(), sizes.data(), offsets.data(),
                MPI_BYTE, 0, MPI_COMM_WORLD);
    QList<QByteArray> parts;
    for (int rank = 0; m_rank == 0 && rank < m_ranks; ++rank) {
        parts.append(all.mid(offsets[std::size_t(rank)], sizes[std::size_t(rank)]));
    }
    return parts;
}

QByteArray MpiJob::broadcast(const QByteArray &from_rank_0)
{
    const QList<int> sizes = announce(broadcast_step, from_rank_0.size());
    QByteArray bytes = m_rank == 0 ? from_rank_0 : QByteArray(sizes.first(), Qt::Uninitialized);
    MPI_Bcast(bytes.data(), bytes.size(), MPI_BYTE, 0, MPI_COMM_WORLD);
    return bytes;
}

int MpiJob::finish(int status)
{
    int highest = 0;
    for (int theirs : announce(finish_step, status)) {
        highest = std::max(highest, theirs);
    }
    return highest;
}

void MpiJob::abort(const std::string &why)
{
    const std::string line = "pictrace-mpi: process " + std::to_string(m_rank) + ": " + why + "\n";
    std::fflush(stdout);
    if (write(m_error_fd, line.data(), line.size()) < 0) {
        // Nothing more can be said.
    }
    // What is left behind by the files being written aside: nothing.
    remove_temporary_files();
    MPI_Abort(MPI_COMM_WORLD, 1);
    std::_Exit(1);
}
