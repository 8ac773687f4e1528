#include "cli/progress.h"

#include "cli/terminal.h"

#include <cstdio>

Progress::Progress(const QString &what)
    : m_what(what)
    , m_enabled(progress_drawable())
{
    m_clock.start();
}

Progress::~Progress()
{
    clear();
}

void Progress::clear()
{
    if (m_shown) {
        std::fputs("\033[K", stderr); // erase from the cursor to the end of the line
        std::fflush(stderr);
        m_shown = false;
    }
}

void Progress::update(int done, int total)
{
    if (!m_enabled) {
        return;
    }
    if (done >= total) {
        clear();
        return;
    }
    // A few redraws a second are enough to read.
    if (m_shown && m_clock.elapsed() - m_drawn_at < 100) {
        return;
    }
    m_drawn_at = m_clock.elapsed();
    QString text = QString("[%1: %2/%3").arg(m_what).arg(done).arg(total);
    if (done > 0) {
        const double left = m_clock.elapsed() / 1000.0 / done * (total - done);
        text += QString(", %1 s left").arg(left, 0, 'f', left < 10 ? 1 : 0);
    }
    text += "]";
    // Save the cursor, draw, erase what is left of an older text, and go back.
    std::fprintf(stderr, "\0337%s\033[K\0338", text.toUtf8().constData());
    std::fflush(stderr);
    m_shown = true;
}
