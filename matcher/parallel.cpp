#include "matcher/parallel.h"

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
