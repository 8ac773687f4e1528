#include "support/threads.h"

#include <QThread>

#include <mutex>

QThreadPool &compute_pool()
{
    static QThreadPool pool;
    return pool;
}

int thread_count(int requested)
{
    return requested > 0 ? requested : std::max(1, QThread::idealThreadCount());
}

void run_on_threads(int threads, const std::function<void()> &worker)
{
    std::mutex lock;
    std::exception_ptr first;
    auto run = [&] {
        try {
            worker();
        } catch (...) {
            const std::lock_guard<std::mutex> guard(lock);
            if (!first) {
                first = std::current_exception();
            }
        }
    };
    QList<QFuture<void>> helpers;
    for (int t = 1; t < threads; ++t) {
        helpers.append(QtConcurrent::run(&compute_pool(), run));
    }
    run();
    for (QFuture<void> &helper : helpers) {
        helper.waitForFinished();
    }
    if (first) {
        std::rethrow_exception(first);
    }
}
