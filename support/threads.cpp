#include "support/threads.h"

#include <QThread>

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
    QList<QFuture<void>> helpers;
    for (int t = 1; t < threads; ++t) {
        helpers.append(QtConcurrent::run(&compute_pool(), [&worker] { worker(); }));
    }
    worker();
    for (QFuture<void> &helper : helpers) {
        helper.waitForFinished();
    }
}
