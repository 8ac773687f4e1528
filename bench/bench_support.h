#pragma once
// Inputs shared by the benchmarks: synthetic grey maps and image folders, made once.

#include "demo/synthetic_images.h"
#include "maps/feature_map.h"
#include "maps/grey_map.h"

#include <QDir>
#include <QImage>
#include <QString>
#include <QTemporaryDir>

#include <memory>

inline FeatureMap synthetic_grey_map(int width, int height, int index = 0)
{
    const QImage image = synthetic_image(7, index, width, height);
    return grey_map_from_loaded_image(image);
}

// A folder of `count` synthetic photographs (JPEG) of width x height, kept for the whole run.
inline QString photo_folder(int count, int width, int height)
{
    static std::unique_ptr<QTemporaryDir> dir;
    if (!dir) {
        dir = std::make_unique<QTemporaryDir>();
        for (int k = 0; k < count; ++k) {
            synthetic_image(11, k, width, height)
                .save(dir->filePath(QString("photo%1.jpg").arg(k, 2, 10, QLatin1Char('0'))), "JPEG",
                      90);
        }
    }
    return dir->path();
}
