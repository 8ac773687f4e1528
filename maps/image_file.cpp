#include "maps/image_file.h"

#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QRegularExpression>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::atomic<qint64> limit{default_pixel_limit};

// Set once, before any image is read.
QString &limit_advice()
{
    static QString advice;
    return advice;
}

// A refusal for the limit, and how to change it where the front end has a way.
QString with_advice(const QString &refusal)
{
    return limit_advice().isEmpty() ? refusal : refusal + " (" + limit_advice() + ")";
}

QString megapixels(qint64 pixels)
{
    return QString::number(double(pixels) / 1e6, 'g', 4);
}

qint32 little_endian_32(const QByteArray &bytes, int at)
{
    quint32 value = 0;
    for (int k = 3; k >= 0; --k) {
        value = value << 8 | static_cast<quint8>(bytes[at + k]);
    }
    return static_cast<qint32>(value);
}

int little_endian_16(const QByteArray &bytes, int at)
{
    return static_cast<quint8>(bytes[at]) | static_cast<quint8>(bytes[at + 1]) << 8;
}

QString too_many_pixels(QSize size)
{
    return with_advice(
        QString("%1 x %2 pixels (%3 megapixels), more than the limit of %4 megapixels")
            .arg(size.width())
            .arg(size.height())
            .arg(megapixels(qint64(size.width()) * size.height()), megapixels(pixel_limit())));
}

quint32 big_endian_32(const QByteArray &bytes, int at)
{
    quint32 value = 0;
    for (int k = 0; k < 4; ++k) {
        value = value << 8 | static_cast<quint8>(bytes[at + k]);
    }
    return value;
}

// The largest image an icon file holds: its directory says at most 256 x 256, but an entry may
// be a PNG of any size, which the decoder makes whole.
QSize largest_icon(QFile &file)
{
    const qint64 start = file.pos();
    QSize largest;
    const QByteArray head = file.seek(0) ? file.read(6) : QByteArray();
    const int entries = head.size() == 6 ? little_endian_16(head, 4) : 0;
    for (int k = 0; k < entries && file.seek(6 + 16 * k); ++k) {
        const QByteArray entry = file.read(16);
        if (entry.size() < 16) {
            break;
        }
        QSize size(static_cast<quint8>(entry[0]) ? static_cast<quint8>(entry[0]) : 256,
                   static_cast<quint8>(entry[1]) ? static_cast<quint8>(entry[1]) : 256);
        const QByteArray png =
            file.seek(quint32(little_endian_32(entry, 12))) ? file.read(24) : QByteArray();
        if (png.size() == 24 && png.startsWith("\x89PNG\r\n\x1a\n")) {
            size = QSize(int(std::min<quint32>(big_endian_32(png, 16), 1u << 30)),
                         int(std::min<quint32>(big_endian_32(png, 20), 1u << 30)));
        }
        if (qint64(size.width()) * size.height() >
            qint64(largest.width()) * std::max(0, largest.height())) {
            largest = size;
        }
    }
    file.seek(start);
    return largest;
}

// Whole numbers after the header's magic, skipping white space and comments (PNM).
QSize pnm_size(const QByteArray &head)
{
    qint64 numbers[2] = {-1, -1};
    int at = 2;
    for (qint64 &number : numbers) {
        for (;;) {
            while (at < head.size() && std::isspace(static_cast<unsigned char>(head[at]))) {
                ++at;
            }
            if (at < head.size() && head[at] == '#') {
                while (at < head.size() && head[at] != '\n') {
                    ++at;
                }
                continue;
            }
            break;
        }
        qint64 value = 0;
        int digits = 0;
        while (at < head.size() && std::isdigit(static_cast<unsigned char>(head[at])) &&
               digits < 12) {
            value = value * 10 + (head[at] - '0');
            ++at;
            ++digits;
        }
        if (digits == 0) {
            return QSize();
        }
        number = value;
    }
    return QSize(int(std::min<qint64>(numbers[0], INT_MAX)),
                 int(std::min<qint64>(numbers[1], INT_MAX)));
}

QSize clamped(qint64 width, qint64 height)
{
    return QSize(int(std::min<qint64>(std::abs(width), INT_MAX)),
                 int(std::min<qint64>(std::abs(height), INT_MAX)));
}

} // namespace

qint64 pixel_limit()
{
    return limit.load();
}

void set_pixel_limit(qint64 pixels)
{
    limit.store(pixels);
    decode_budget().set_total(pixels);
}

void set_pixel_limit_advice(const QString &advice)
{
    limit_advice() = advice;
}

PixelBudget &decode_budget()
{
    static PixelBudget budget(default_pixel_limit);
    return budget;
}

QSize declared_image_size(const QByteArray &head)
{
    if (head.startsWith("BM") && head.size() >= 26) {
        const qint32 header = little_endian_32(head, 14);
        if (header == 12) { // OS/2 core header: 16-bit sizes
            return QSize(little_endian_16(head, 18), little_endian_16(head, 20));
        }
        return clamped(little_endian_32(head, 18), little_endian_32(head, 22));
    }
    if (head.size() >= 2 && head[0] == 'P' && head[1] >= '1' && head[1] <= '6') {
        return pnm_size(head);
    }
    const QString text = QString::fromLatin1(head);
    if (head.contains("XPM")) {
        const QRegularExpressionMatch m =
            QRegularExpression("\"\\s*(\\d{1,12})\\s+(\\d{1,12})").match(text);
        if (m.hasMatch()) {
            return clamped(m.captured(1).toLongLong(), m.captured(2).toLongLong());
        }
    }
    if (head.contains("#define")) {
        const QRegularExpressionMatch w =
            QRegularExpression("#define\\s+\\S*width\\s+(\\d{1,12})").match(text);
        const QRegularExpressionMatch h =
            QRegularExpression("#define\\s+\\S*height\\s+(\\d{1,12})").match(text);
        if (w.hasMatch() && h.hasMatch()) {
            return clamped(w.captured(1).toLongLong(), h.captured(1).toLongLong());
        }
    }
    return QSize();
}

ImageRead read_image_file(const QString &path)
{
    ImageRead result;
    auto refuse = [&](const QString &why) {
        result.problem = why;
        result.refused = true;
        return std::move(result);
    };
    // Opened without blocking, so that a pipe without a writer does not hang here; then only a
    // regular file is read.
    const int descriptor =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        const int error = errno;
        // A name listed with bytes that are not UTF-8 comes back with replacement characters,
        // under which no file exists.
        if (error == ENOENT && path.contains(QChar::ReplacementCharacter)) {
            return refuse("the file name is not valid UTF-8");
        }
        result.problem = QString::fromLocal8Bit(std::strerror(error));
        return result;
    }
    struct stat status {
    };
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(descriptor);
        return refuse(S_ISDIR(status.st_mode) ? "is a folder" : "not a regular file");
    }
    ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
    QFile file;
    if (!file.open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(descriptor);
        result.problem = file.errorString();
        return result;
    }
    const QByteArray head = file.peek(4096);
    // An icon is told by its first bytes; its entries are looked at before any decoder does.
    const QSize icon =
        head.startsWith(QByteArray("\0\0\1\0", 4)) || head.startsWith(QByteArray("\0\0\2\0", 4))
            ? largest_icon(file)
            : QSize();
    if (icon.isValid() && qint64(icon.width()) * icon.height() > pixel_limit()) {
        return refuse(too_many_pixels(icon));
    }
    // The format is told by the contents; failing that, by the suffix (formats without a
    // signature), as a reader opening the file by name would try.
    QImageReader reader(&file);
    if (!reader.canRead()) {
        reader.read(); // no decoder recognises the contents: this only says why
        result.problem = reader.errorString();
        const QByteArray suffix = QFileInfo(path).suffix().toLower().toLatin1();
        if (suffix.isEmpty() || !file.seek(0)) {
            return result;
        }
        reader.setDevice(&file);
        reader.setFormat(suffix);
        reader.setAutoDetectImageFormat(false);
        if (!reader.canRead()) {
            return result;
        }
        result.problem.clear();
    }
    QSize size = reader.size();
    if (!size.isValid()) {
        size = declared_image_size(head);
    }
    if (icon.isValid()) {
        size = icon;
    }
    if (!size.isValid() || size.isEmpty()) {
        return refuse("the image does not declare its size");
    }
    const qint64 pixels = qint64(size.width()) * size.height();
    if (pixels > pixel_limit()) {
        return refuse(too_many_pixels(size));
    }
    result.lease = decode_budget().take(pixels);
    try {
        result.image = reader.read();
    } catch (const std::bad_alloc &) {
        result.image = QImage();
        return refuse(QString("not enough memory to decode %1 x %2 pixels")
                          .arg(size.width())
                          .arg(size.height()));
    }
    if (result.image.isNull()) {
        result.problem = reader.errorString();
        result.lease.release();
        return result;
    }
    // A decoder that made more than its header said is held to the limit all the same.
    const QSize decoded = result.image.size();
    if (qint64(decoded.width()) * decoded.height() > pixel_limit()) {
        result.image = QImage();
        return refuse(with_advice(QString("decodes to %1 x %2 pixels, more than the limit")
                                      .arg(decoded.width())
                                      .arg(decoded.height())));
    }
    return result;
}
