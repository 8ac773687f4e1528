#pragma once
// The processes of an MPI job as the shard of pictrace-mpi: rank 0 is the lead process, which
// writes the files and shows the console; the others work silently.
//
// Every exchange starts by telling all processes what each one is doing (which exchange, how
// many bytes), so that a process that ended early or took another path is noticed: the job then
// ends with a message instead of waiting forever or mixing up data.

#include "support/shard.h"

#include <string>

class MpiJob : public Shard
{
public:
    // Starts MPI; the lead process keeps its console, the others are silenced.
    MpiJob(int &argc, char **&argv);
    // Ends MPI.
    ~MpiJob() override;
    MpiJob(const MpiJob &) = delete;
    MpiJob &operator=(const MpiJob &) = delete;

    int rank() const override { return m_rank; }
    int ranks() const override { return m_ranks; }
    QList<QByteArray> all_gather(const QByteArray &mine) override;
    QList<QByteArray> gather(const QByteArray &mine) override;
    QByteArray broadcast(const QByteArray &from_rank_0) override;

    // Tells the others this process ended with `status`; returns the job's status: the
    // highest of all.
    int finish(int status);
    // Ends the whole job at once, after printing "pictrace-mpi: process R: why" on the
    // process's own standard error, which stays open for this.
    [[noreturn]] void abort(const std::string &why);

private:
    enum Step { all_gather_step = 1, gather_step, broadcast_step, finish_step };
    // What every process is doing: two numbers each, the step and a size (or a status).
    QList<int> announce(Step step, int size);

    int m_rank = 0;
    int m_ranks = 1;
    int m_error_fd = 2; // standard error as it was
};
