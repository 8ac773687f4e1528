#pragma once
// Grey maps: one float per pixel holding the pixel's grey level (11 R + 16 G + 5 B) / 32 with
// the remainder dropped (Qt's qGray), a whole number from 0 to 255. Alpha is ignored.

#include "maps/feature_map.h"
#include "support/pixel_budget.h"

#include <QSize>
#include <QString>

#include <optional>

class QImage;

// An image file's grey map, or why there is none.
struct GreyRead {
    std::optional<FeatureMap> map;
    QString problem;          // why there is no map
    bool refused = false;     // an image left alone on purpose (see image_file.h), worth saying
    PixelBudget::Lease lease; // held until the caller is done with the map's pixels
};

// Loads the file as read_image_file does (format detected by the reader, size checked first),
// converts it to 32-bit ARGB and makes its grey map. The caller names the map.
GreyRead read_grey_map(const QString &path);

// The map alone: nothing when the file is missing, unreadable, not an image or refused.
std::optional<FeatureMap> grey_map_from_image(const QString &path);

// Grey map of an image as it is, its pixels read as QImage::pixel reads them (no conversion
// first). Used for a pattern chosen interactively. A null image gives an empty map.
FeatureMap grey_map_from_loaded_image(const QImage &image);

// The grey map resized to round(factor * sides) (at least 1 x 1): averaged over the pixels each
// new pixel covers when shrinking, interpolated when enlarging (Qt's smooth scaling), rounded to
// whole grey levels as image files give them. Named as the original.
FeatureMap resampled_grey_map(const FeatureMap &grey, double factor);

// The sides of the largest rectangle centred in a picture of `size` turned by `degrees` that
// holds only the picture's pixels (at least 0 x 0).
QSize turned_inner_size(QSize size, double degrees);

// The grey map of a crop that shows its image turned by `degrees` (clockwise on screen, rows
// stored top-down), turned back: the rectangle of turned_inner_size about its centre, each
// pixel interpolated between the four nearest. Named as the original.
FeatureMap straightened_grey_map(const FeatureMap &grey, double degrees);
