#pragma once
// Grey maps: one float per pixel holding the pixel's grey level (11 R + 16 G + 5 B) / 32 with
// the remainder dropped (Qt's qGray), a whole number from 0 to 255. Alpha is ignored.

#include "maps/feature_map.h"

#include <optional>

class QImage;
class QString;

// Loads the file (format detected by the reader), converts it to 32-bit ARGB and makes its grey
// map. Nothing when the file is missing, unreadable or not an image. The caller names the map.
std::optional<FeatureMap> grey_map_from_image(const QString &path);

// Grey map of an image as it is, its pixels read as QImage::pixel reads them (no conversion
// first). Used for a pattern chosen interactively. A null image gives an empty map.
FeatureMap grey_map_from_loaded_image(const QImage &image);
