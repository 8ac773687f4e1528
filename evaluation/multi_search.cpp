#include "evaluation/multi_search.h"

#include "maps/grey_map.h"

#include <QDir>

QString patterns_directory()
{
    return QStringLiteral("patterns");
}

PatternSet read_patterns(const QString &directory)
{
    PatternSet set;
    QDir listing(directory);
    listing.setFilter(QDir::Files | QDir::NoDotAndDotDot);
    for (const QFileInfo &file : listing.entryInfoList()) {
        std::optional<FeatureMap> grey = grey_map_from_image(directory + "/" + file.fileName());
        if (!grey) {
            continue;
        }
        grey->name = file.baseName();
        set.maps.append(*grey);
        set.files.append(file.fileName());
    }
    return set;
}

MultiSearch multi_search(const WindowSettings &settings, const QList<FeatureMap> &database,
                         const QString &directory, const SearchOptions &options)
{
    MultiSearch result;
    if (refuse_invalid(settings)) {
        result.refused = true;
        return result;
    }
    // All patterns are read first, so that the search's time covers the search alone.
    const PatternSet patterns = read_patterns(directory);
    result.files = patterns.files;
    for (const FeatureMap &map : patterns.maps) {
        result.sizes.append(QSize(map.width, map.height));
    }
    result.outcome = search_patterns(settings, patterns.maps, database, options);
    return result;
}

QString success_rate_text(float rate)
{
    return QStringLiteral("Success rate: ") + QString::number(double(rate), 'g', 6) +
           QStringLiteral(" %");
}
