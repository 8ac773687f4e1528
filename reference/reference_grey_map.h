#pragma once
// The grey map of an image file written out literally: load, convert to 32-bit ARGB, and
// QImage::pixel for every pixel, column by column.

#include "maps/feature_map.h"

#include <QImage>
#include <QString>

#include <optional>

namespace reference {

inline std::optional<FeatureMap> grey_map_from_image(const QString &path)
{
    const QImage image = QImage(path).convertToFormat(QImage::Format_ARGB32);
    if (image.width() == 0) {
        return std::nullopt;
    }
    FeatureMap map = FeatureMap::allocate(image.width(), image.height());
    for (int x = 0; x < image.width(); ++x) {
        for (int y = 0; y < image.height(); ++y) {
            const QRgb p = image.pixel(x, y);
            map.values[x + y * image.width()] = static_cast<float>(
                (11 * ((p >> 16) & 0xff) + 16 * ((p >> 8) & 0xff) + 5 * (p & 0xff)) / 32);
        }
    }
    return map;
}

} // namespace reference
