#include "support/scratch_file.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

ScratchFile::ScratchFile(const QString &beside)
{
    QByteArray pattern =
        QFile::encodeName(QFileInfo(beside).absolutePath() + "/.pictrace-scratch.XXXXXX");
    m_descriptor = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (m_descriptor < 0) {
        fail(errno);
        return;
    }
    ::unlink(pattern.constData());
}

ScratchFile::~ScratchFile()
{
    if (m_descriptor >= 0) {
        ::close(m_descriptor);
    }
}

bool ScratchFile::fail(int error_number)
{
    m_error = QString::fromLocal8Bit(std::strerror(error_number));
    return false;
}

bool ScratchFile::append(const char *data, qint64 size)
{
    if (!ok()) {
        return false;
    }
    for (qint64 done = 0; done < size;) {
        const ssize_t written =
            ::pwrite(m_descriptor, data + done, size_t(size - done), off_t(m_size + done));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0) {
            return fail(errno);
        }
        done += written;
    }
    m_size += size;
    return true;
}

bool ScratchFile::read_at(qint64 offset, char *data, qint64 size)
{
    if (!ok()) {
        return false;
    }
    for (qint64 done = 0; done < size;) {
        const ssize_t read =
            ::pread(m_descriptor, data + done, size_t(size - done), off_t(offset + done));
        if (read < 0 && errno == EINTR) {
            continue;
        }
        if (read <= 0) {
            return fail(read < 0 ? errno : EIO);
        }
        done += read;
    }
    return true;
}
