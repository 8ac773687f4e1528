#pragma once
// Writing a file aside: the text goes to a temporary file next to the target, which replaces
// the target only when everything was written and flushed. A failure leaves the target as it
// was and says why in the system's words ("No space left on device").

#include <QByteArray>
#include <QString>

class AtomicFile
{
public:
    explicit AtomicFile(const QString &path);
    ~AtomicFile(); // removes the temporary file unless committed
    AtomicFile(const AtomicFile &) = delete;
    AtomicFile &operator=(const AtomicFile &) = delete;

    bool open();
    bool write(const char *data, qint64 size);
    bool write(const QByteArray &bytes) { return write(bytes.constData(), bytes.size()); }
    // Writes again over the start of what was written (a header completed at the end).
    bool rewrite_start(const char *data, qint64 size) { return write_at(0, data, size); }
    // Writes at an offset, and reads back what was written: a file laid out in sections.
    bool write_at(qint64 offset, const char *data, qint64 size);
    bool read_at(qint64 offset, char *data, qint64 size);
    bool commit();

    const QString &path() const { return m_path; }
    // Why the last step failed.
    const QString &error() const { return m_error; }

private:
    bool fail(int error_number);

    QString m_path;
    QByteArray m_temporary;
    int m_descriptor = -1;
    bool m_failed = false;
    QString m_error;
};
