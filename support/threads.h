#pragma once
// Spreading one command's work over the cores. The compute pool is separate from the
// application-wide pool that runs the window's jobs, so that a job waiting for its own tasks
// never holds a thread those tasks need.

#include <QThreadPool>
#include <QtConcurrent>

#include <deque>
#include <functional>

QThreadPool &compute_pool();

// The number of threads a command uses when it is given `requested` (0: every core).
int thread_count(int requested);

// Runs work(k) for k = 0 .. count - 1 on `threads` threads and hands every result to
// consume(k, result) on the calling thread, in order of k. At most two results per thread are
// pending at a time. consume returns false to stop; work already started is waited for.
template <typename Result>
void ordered_parallel(int count, int threads, const std::function<Result(int)> &work,
                      const std::function<bool(int, Result &)> &consume)
{
    if (threads <= 1) {
        for (int k = 0; k < count; ++k) {
            Result result = work(k);
            if (!consume(k, result)) {
                return;
            }
        }
        return;
    }
    std::deque<QFuture<Result>> pending;
    int submitted = 0;
    bool going = true;
    for (int k = 0; k < count && going; ++k) {
        while (submitted < count && int(pending.size()) < 2 * threads) {
            pending.push_back(
                QtConcurrent::run(&compute_pool(), [&work, submitted] { return work(submitted); }));
            ++submitted;
        }
        Result result = pending.front().result();
        pending.pop_front();
        going = consume(k, result);
    }
    for (QFuture<Result> &future : pending) {
        future.waitForFinished();
    }
}

// Runs `worker` on `threads` threads at once, the calling thread being one of them, and returns
// when every run has returned. Workers share their work through state of their own (an atomic
// counter, typically).
void run_on_threads(int threads, const std::function<void()> &worker);
