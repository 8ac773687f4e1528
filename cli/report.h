#pragma once
// The --report file: one tab-separated line per searched pattern, under a header line.

#include "commands/commands.h"

#include <QFile>
#include <QString>

class Report
{
public:
    // An empty path: no report. False when the file cannot be created.
    bool open(const QString &path);
    void add(int radius, const commands::MultiResult &search);

private:
    QFile m_file;
};
