#include "support/file_stamp.h"

#include <QFile>

#include <sys/stat.h>

namespace {

std::uint64_t nanoseconds(const timespec &time)
{
    return std::uint64_t(time.tv_sec) * 1000000000u + std::uint64_t(time.tv_nsec);
}

FileStamp stamp_from(const struct stat &status)
{
    return {std::uint64_t(status.st_size), nanoseconds(status.st_mtim), nanoseconds(status.st_ctim),
            std::uint64_t(status.st_ino)};
}

} // namespace

FileStamp stamp_of(const QString &path)
{
    struct stat status {
    };
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? stamp_from(status)
                                                                     : FileStamp();
}

FileStamp stamp_of_descriptor(int descriptor)
{
    struct stat status {
    };
    return ::fstat(descriptor, &status) == 0 ? stamp_from(status) : FileStamp();
}
