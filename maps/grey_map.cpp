#include "maps/grey_map.h"

#include <QImage>
#include <QString>

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

std::optional<FeatureMap> grey_map_from_image(const QString &path)
{
    QImage converted;
    {
        QImage loaded(path);
        converted = is_plain_32bit(loaded.format()) ? loaded
                                                    : loaded.convertToFormat(QImage::Format_ARGB32);
    }
    if (converted.width() == 0) {
        return std::nullopt;
    }
    return grey_map_from_32bit(converted);
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
