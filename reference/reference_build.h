#pragma once
// A whole database build written out literally, on one thread: list the folder, make each grey
// map pixel by pixel, compute each descriptor map with the literal loop, and write the records
// through a QTextStream.

#include "reference/reference_descriptor.h"
#include "reference/reference_ft1.h"
#include "reference/reference_grey_map.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace reference {

inline bool build_database(const QString &directory, const QString &path, int radius,
                           int step_divisor)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        return false;
    }
    QDir listing(directory);
    listing.setFilter(QDir::Files | QDir::NoDotAndDotDot);
    for (const QFileInfo &info : listing.entryInfoList()) {
        const std::optional<FeatureMap> grey =
            reference::grey_map_from_image(directory + "/" + info.fileName());
        if (!grey) {
            continue;
        }
        const FeatureMap map = reference::descriptor_map(*grey, radius, step_divisor);
        file.write(reference::record_text(info.baseName(), grey->width, grey->height, map));
    }
    return true;
}

} // namespace reference
