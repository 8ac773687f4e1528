#pragma once
// One pattern image searched interactively: its grey map is read from the image as loaded, it is
// searched in the database with the matcher's settings, and the found database image is looked
// up under database/ with the pattern file's suffix.

#include "matcher/feature_map.h"

#include <QList>
#include <QString>

#include <optional>

class ImageMatcher;
class QImage;

struct SingleSearch {
    int elapsed_ms = 0;
    QString found_name;       // empty when the database is empty or nothing fits
    QString found_image_path; // "database/" + found name + "." + the pattern's suffix
};

// The pattern's grey map named after the file's base name; nothing for a null image.
std::optional<FeatureMap> pattern_from_image(const QImage &image, const QString &path);

// Searches the pattern and writes the search's console lines and "search2 = " + name.
SingleSearch search_single_pattern(ImageMatcher &matcher, const FeatureMap &pattern,
                                   const QList<FeatureMap> &database, const QString &pattern_path);
