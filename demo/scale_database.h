#pragma once
// Large databases for tests and benchmarks, written straight as .ft1 text without decoding
// images: most records hold generated maps whose values look like descriptor maps of
// photographs (a smooth field, flat regions near zero, sharp edges, a heavy-tailed spread);
// a few hold the maps of real synthetic images, whose crops are the patterns to search.

#include "maps/feature_map.h"
#include "maps/window_settings.h"

#include <QImage>
#include <QList>
#include <QRect>
#include <QSize>
#include <QString>

#include <cstdint>

struct ScaleDatabase {
    int records = 10000;
    WindowSettings settings{20, 1};
    QSize image_size{400, 300};
    int real_images = 10; // spread evenly through the records
    std::uint64_t seed = 1;
};

// One generated map of the given size.
FeatureMap generated_map(std::uint64_t seed, int index, int width, int height);

struct ScalePattern {
    QString name; // the record's name
    QImage image; // the crop of the record's real image
    QRect crop;   // where it was cut
};

// The crops of the real images, named after their records.
QList<ScalePattern> scale_pattern_images(const ScaleDatabase &plan);

// The grey maps of the crops of the real images, named after their records: the same as
// write_scale_database gives.
QList<FeatureMap> scale_patterns(const ScaleDatabase &plan);

// Writes the database to `path`; the grey maps of crops of the real images (named after their
// records) go to `patterns`. An error message, or empty.
QString write_scale_database(const QString &path, const ScaleDatabase &plan,
                             QList<FeatureMap> *patterns = nullptr);
