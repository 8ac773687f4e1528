#pragma once
// Work shared by the processes of one job (MPI ranks): each builds a share of the images and
// searches a contiguous slice of the database, and the results are gathered so that every
// answer is the one a single process gives. The core sees only this interface; the MPI front
// end installs an implementation for the whole process. Without one, a command runs alone.

#include <QByteArray>
#include <QList>

#include <utility>

class Shard
{
public:
    virtual ~Shard() = default;
    virtual int rank() const = 0;
    virtual int ranks() const = 0;
    // Collective: every rank's bytes, in rank order, on every rank.
    virtual QList<QByteArray> all_gather(const QByteArray &mine) = 0;
    // Collective: every rank's bytes, in rank order, on rank 0; nothing elsewhere.
    virtual QList<QByteArray> gather(const QByteArray &mine) = 0;
    // Collective: rank 0's bytes on every rank.
    virtual QByteArray broadcast(const QByteArray &from_rank_0) = 0;
};

// The shard of the calling thread (the thread that runs the commands), or null when it works
// alone.
Shard *work_shard();
void set_work_shard(Shard *shard);

// Whether this process writes the job's files and shows its answers: the only one, or rank 0.
inline bool lead_process()
{
    return !work_shard() || work_shard()->rank() == 0;
}

// Whether work is shared with other processes.
inline bool sharded()
{
    return work_shard() && work_shard()->ranks() > 1;
}

// The contiguous part [first, last) of `count` items that `rank` of `ranks` takes.
inline std::pair<int, int> shard_slice(int count, int rank, int ranks)
{
    return {int(qint64(count) * rank / ranks), int(qint64(count) * (rank + 1) / ranks)};
}
