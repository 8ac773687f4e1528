#pragma once
// Progress of a long command on standard error, where a terminal can draw it
// (progress_drawable): "what: done/total, N s left" drawn at the cursor and taken back, so that
// the console lines on standard output continue where they stand; cleared when the work is done.

#include <QElapsedTimer>
#include <QString>

class Progress
{
public:
    explicit Progress(const QString &what);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    void update(int done, int total);

private:
    void clear();

    QString m_what;
    bool m_enabled;
    bool m_shown = false;
    qint64 m_drawn_at = 0;
    QElapsedTimer m_clock;
};
