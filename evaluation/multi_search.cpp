#include "evaluation/multi_search.h"

#include "matcher/grey_map.h"
#include "matcher/image_matcher.h"

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

MultiSearch multi_search(ImageMatcher &matcher, const QList<FeatureMap> &database,
                         const QString &directory, const SearchOptions &options)
{
    MultiSearch result;
    if (matcher.refuse_invalid_settings()) {
        result.refused = true;
        return result;
    }
    // All patterns are read first, so that the search's time covers the search alone.
    result.patterns = read_patterns(directory);
    result.outcome = search_patterns(matcher, result.patterns.maps, database, options);
    return result;
}

QString success_rate_text(float rate)
{
    return QStringLiteral("Success rate: ") + QString::number(double(rate), 'g', 6) +
           QStringLiteral(" %");
}
