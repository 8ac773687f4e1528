#include "maps/grey_map.h"

#include "maps/image_file.h"

#include <QImage>
#include <QString>

#include <algorithm>
#include <cmath>
#include <new>

namespace {

// Reads 32-bit pixels straight from the scan lines. Only for formats whose stored word is what
// QImage::pixel returns, up to an alpha that the grey level ignores.
FeatureMap grey_map_from_32bit(const QImage &image)
{
    FeatureMap map = FeatureMap::allocate(image.width(), image.height());
    float *out = map.data();
    for (int y = 0; y < image.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        float *row = out + qint64(y) * map.width;
        for (int x = 0; x < image.width(); ++x) {
            row[x] = static_cast<float>(qGray(line[x]));
        }
    }
    return map;
}

bool is_plain_32bit(QImage::Format format)
{
    return format == QImage::Format_ARGB32 || format == QImage::Format_RGB32;
}

} // namespace

GreyRead read_grey_map(const QString &path)
{
    GreyRead result;
    ImageRead read = read_image_file(path);
    result.problem = read.problem;
    result.refused = read.refused;
    result.lease = std::move(read.lease);
    if (read.image.isNull()) {
        return result;
    }
    const QSize size = read.image.size();
    try {
        QImage converted = is_plain_32bit(read.image.format())
                               ? read.image
                               : read.image.convertToFormat(QImage::Format_ARGB32);
        read.image = QImage();
        if (converted.isNull()) { // the conversion found no memory
            throw std::bad_alloc();
        }
        result.map = grey_map_from_32bit(converted);
    } catch (const std::bad_alloc &) {
        result.map.reset();
        result.problem =
            QString("not enough memory for %1 x %2 pixels").arg(size.width()).arg(size.height());
        result.refused = true;
    }
    return result;
}

std::optional<FeatureMap> grey_map_from_image(const QString &path)
{
    return read_grey_map(path).map;
}

FeatureMap resampled_grey_map(const FeatureMap &grey, double factor)
{
    if (!grey.has_values()) {
        return grey;
    }
    QImage image(grey.width, grey.height, QImage::Format_RGB32);
    for (int y = 0; y < grey.height; ++y) {
        QRgb *row = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < grey.width; ++x) {
            const int level = std::clamp(int(std::lround(grey.at(x, y))), 0, 255);
            row[x] = qRgb(level, level, level);
        }
    }
    const int width = std::max(1, int(std::lround(grey.width * factor)));
    const int height = std::max(1, int(std::lround(grey.height * factor)));
    // qGray of an equal red, green and blue is that level.
    FeatureMap map = grey_map_from_loaded_image(
        image.scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    map.name = grey.name;
    return map;
}

FeatureMap grey_map_from_loaded_image(const QImage &image)
{
    if (image.isNull()) {
        return FeatureMap();
    }
    if (is_plain_32bit(image.format())) {
        return grey_map_from_32bit(image);
    }
    FeatureMap map = FeatureMap::allocate(image.width(), image.height());
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            map.at(x, y) = static_cast<float>(qGray(image.pixel(x, y)));
        }
    }
    return map;
}

QSize turned_inner_size(QSize size, double degrees)
{
    // A centred w' x h' fits when its corners turned stay inside: w' c + h' s <= w and
    // w' s + h' c <= h, both equalities solved; a pixel less for the interpolation.
    const double angle = std::fabs(degrees) * M_PI / 180;
    const double c = std::cos(angle);
    const double s = std::sin(angle);
    const double det = c * c - s * s;
    if (!(det > 0)) {
        return QSize(0, 0);
    }
    const double w = size.width();
    const double h = size.height();
    return QSize(std::max(0, int(std::floor((w * c - h * s) / det)) - 1),
                 std::max(0, int(std::floor((h * c - w * s) / det)) - 1));
}

FeatureMap straightened_grey_map(const FeatureMap &grey, double degrees)
{
    const QSize inner = turned_inner_size(QSize(grey.width, grey.height), degrees);
    if (!grey.has_values() || inner.isEmpty()) {
        FeatureMap none;
        none.name = grey.name;
        return none;
    }
    // The crop's pixel at q (from its centre) shows the image's at u with q = R(degrees) u.
    const double angle = degrees * M_PI / 180;
    const double c = std::cos(angle);
    const double s = std::sin(angle);
    FeatureMap map = FeatureMap::allocate(inner.width(), inner.height());
    map.name = grey.name;
    for (int b = 0; b < inner.height(); ++b) {
        for (int a = 0; a < inner.width(); ++a) {
            const double ux = a + 0.5 - inner.width() / 2.0;
            const double uy = b + 0.5 - inner.height() / 2.0;
            const double x =
                std::clamp(grey.width / 2.0 + ux * c - uy * s - 0.5, 0.0, double(grey.width - 1));
            const double y =
                std::clamp(grey.height / 2.0 + ux * s + uy * c - 0.5, 0.0, double(grey.height - 1));
            const int x0 = std::min(int(x), grey.width - 1);
            const int y0 = std::min(int(y), grey.height - 1);
            const int x1 = std::min(x0 + 1, grey.width - 1);
            const int y1 = std::min(y0 + 1, grey.height - 1);
            const double fx = x - x0;
            const double fy = y - y0;
            const double top = grey.at(x0, y0) * (1 - fx) + grey.at(x1, y0) * fx;
            const double bottom = grey.at(x0, y1) * (1 - fx) + grey.at(x1, y1) * fx;
            map.at(a, b) = float(top * (1 - fy) + bottom * fy);
        }
    }
    return map;
}
