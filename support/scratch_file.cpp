#include "support/scratch_file.h"

#include "support/temporary_files.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

ScratchFile::ScratchFile(const QString &beside)
{
    QByteArray path;
    m_descriptor = create_temporary_file(
        QFile::encodeName(QFileInfo(beside).absolutePath() + "/.pictrace-scratch"), path);
    if (m_descriptor < 0) {
        fail(errno);
        return;
    }
    ::unlink(path.constData());
    forget_temporary_file(path);
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
