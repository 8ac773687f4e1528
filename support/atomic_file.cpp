#include "support/atomic_file.h"

#include "support/temporary_files.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

AtomicFile::AtomicFile(const QString &path)
    : m_path(path)
{}

AtomicFile::~AtomicFile()
{
    if (m_descriptor >= 0) {
        ::close(m_descriptor);
    }
    if (!m_temporary.isEmpty()) {
        ::unlink(m_temporary.constData());
        forget_temporary_file(m_temporary);
    }
}

bool AtomicFile::fail(int error_number)
{
    m_failed = true;
    m_error = QString::fromLocal8Bit(std::strerror(error_number));
    return false;
}

bool AtomicFile::open()
{
    const QByteArray target = QFile::encodeName(m_path);
    struct stat existing;
    const bool exists = ::stat(target.constData(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) {
        m_failed = true;
        m_error = S_ISDIR(existing.st_mode) ? QStringLiteral("is a folder")
                                            : QStringLiteral("not a regular file");
        return false;
    }
    remove_leftovers_of(target);
    m_descriptor = create_temporary_file(target, m_temporary);
    if (m_descriptor < 0) {
        m_temporary.clear();
        return fail(errno);
    }
    // The new file gets the old one's permissions, or those a new file would get.
    mode_t mode = 0666;
    if (exists) {
        mode = existing.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode &= ~mask;
    }
    ::fchmod(m_descriptor, mode);
    return true;
}

bool AtomicFile::write_at(qint64 offset, const char *data, qint64 size)
{
    if (m_failed || m_descriptor < 0) {
        return false;
    }
    for (qint64 done = 0; done < size;) {
        const ssize_t written = ::pwrite(m_descriptor, data + done,
                                         static_cast<size_t>(size - done), off_t(offset + done));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail(errno);
        }
        done += written;
    }
    return true;
}

bool AtomicFile::read_at(qint64 offset, char *data, qint64 size)
{
    if (m_failed || m_descriptor < 0) {
        return false;
    }
    for (qint64 done = 0; done < size;) {
        const ssize_t read = ::pread(m_descriptor, data + done, static_cast<size_t>(size - done),
                                     off_t(offset + done));
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

bool AtomicFile::write(const char *data, qint64 size)
{
    if (m_failed || m_descriptor < 0) {
        return false;
    }
    while (size > 0) {
        const ssize_t written = ::write(m_descriptor, data, static_cast<size_t>(size));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail(errno);
        }
        data += written;
        size -= written;
    }
    return true;
}

bool AtomicFile::commit()
{
    if (m_failed || m_descriptor < 0) {
        return false;
    }
    if (::fsync(m_descriptor) != 0 && errno != EINVAL) {
        return fail(errno);
    }
    const int descriptor = m_descriptor;
    m_descriptor = -1;
    if (::close(descriptor) != 0) {
        return fail(errno);
    }
    if (::rename(m_temporary.constData(), QFile::encodeName(m_path).constData()) != 0) {
        return fail(errno);
    }
    forget_temporary_file(m_temporary);
    m_temporary.clear();
    return true;
}
