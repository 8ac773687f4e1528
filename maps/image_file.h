#pragma once
// Reading image files without trusting them. Only regular files are opened (links followed),
// never blocking on a pipe or a device. An image's size is read from its header before it is
// decoded, and an image of more pixels than the limit is refused, whatever its format (vector
// images render at their declared size, so they are refused the same way). Decoding takes a
// lease of the image's pixels from the decode budget, shared by every thread; the caller
// holds it until it is done with the image. Running out of memory refuses the image.

#include "support/pixel_budget.h"

#include <QImage>
#include <QSize>
#include <QString>

// Images of more pixels than this are refused unless the limit is changed.
constexpr qint64 default_pixel_limit = 128'000'000;

qint64 pixel_limit();
// Also the size of the decode budget.
void set_pixel_limit(qint64 pixels);
PixelBudget &decode_budget();
// Appended to a refusal for the limit: how the front end changes it ("--max-megapixels N").
// Set before images are read.
void set_pixel_limit_advice(const QString &advice);

struct ImageRead {
    QImage image;             // null when the file gave no image
    QString problem;          // why not, in a few words
    bool refused = false;     // left alone on purpose: too large, not a regular file, no memory
    PixelBudget::Lease lease; // the image's pixels in the decode budget
};

ImageRead read_image_file(const QString &path);

// The size an image file declares in its header, when the reader can tell: Qt's image reader,
// or the header of a BMP, PNM, XPM or XBM file, which Qt's reader does not report.
QSize declared_image_size(const QByteArray &head);
