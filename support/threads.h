#pragma once
// Spreading one command's work over the cores. The compute pool is separate from the
// application-wide pool that runs the window's jobs, so that a job waiting for its own tasks
// never holds a thread those tasks need.

#include <QThreadPool>
#include <QtConcurrent>

#include <deque>
#include <exception>
#include <functional>
#include <optional>

QThreadPool &compute_pool();

// The number of threads a command uses when it is given `requested` (0: every core).
int thread_count(int requested);

// Runs work(k) for k = 0 .. count - 1 on `threads` threads and hands every result to
// consume(k, result) on the calling thread, in order of k. At most two results per thread are
// pending at a time. consume returns false to stop; work already started is waited for. An
// exception thrown by work(k) is thrown again on the calling thread, as it was, when result k
// is due, once the work started is done.
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
    struct Outcome {
        std::optional<Result> result;
        std::exception_ptr error;
    };
    std::deque<QFuture<Outcome>> pending;
    auto wait_for_all = [&pending] {
        for (QFuture<Outcome> &future : pending) {
            future.waitForFinished();
        }
    };
    int submitted = 0;
    bool going = true;
    for (int k = 0; k < count && going; ++k) {
        while (submitted < count && int(pending.size()) < 2 * threads) {
            pending.push_back(QtConcurrent::run(&compute_pool(), [&work, submitted] {
                Outcome outcome;
                try {
                    outcome.result.emplace(work(submitted));
                } catch (...) {
                    outcome.error = std::current_exception();
                }
                return outcome;
            }));
            ++submitted;
        }
        Outcome outcome = pending.front().result();
        pending.pop_front();
        if (outcome.error) {
            wait_for_all();
            std::rethrow_exception(outcome.error);
        }
        going = consume(k, *outcome.result);
    }
    wait_for_all();
}

// Runs `worker` on `threads` threads at once, the calling thread being one of them, and returns
// when every run has returned; then throws again the first exception a run threw, if one did.
// Workers share their work through state of their own (an atomic counter, typically).
void run_on_threads(int threads, const std::function<void()> &worker);
