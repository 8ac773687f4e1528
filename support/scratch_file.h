#pragma once
// A file for a command's own intermediate data: made beside a target and unlinked at once, so
// that whatever ends the process, nothing is left behind.

#include <QByteArray>
#include <QString>

class ScratchFile
{
public:
    // In the folder of `beside`.
    explicit ScratchFile(const QString &beside);
    ~ScratchFile();
    ScratchFile(const ScratchFile &) = delete;
    ScratchFile &operator=(const ScratchFile &) = delete;

    bool ok() const { return m_descriptor >= 0 && m_error.isEmpty(); }
    const QString &error() const { return m_error; }

    bool append(const char *data, qint64 size);
    qint64 size() const { return m_size; }
    bool read_at(qint64 offset, char *data, qint64 size);

private:
    bool fail(int error_number);

    int m_descriptor = -1;
    qint64 m_size = 0;
    QString m_error;
};
