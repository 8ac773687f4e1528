#include "evaluation/multi_search.h"

#include "evaluation/fine_search.h"
#include "maps/grey_map.h"
#include "support/console.h"
#include "support/file_names.h"
#include "support/threads.h"

#include <QDir>

QString patterns_directory()
{
    return QStringLiteral("patterns");
}

PatternSet read_patterns(const QString &directory, int threads)
{
    PatternSet set;
    QDir listing(directory);
    listing.setFilter(QDir::Files | QDir::NoDotAndDotDot);
    const QFileInfoList files = listing.entryInfoList();
    for (const QString &name : names_not_listed(directory)) {
        console::write(QString("skipped %1: the file name is not valid UTF-8\n").arg(name));
    }
    // Decoded on every core, kept in listing order. Images refused on purpose (too large, not
    // a regular file) are named on the console; other files are no pattern images.
    struct Read {
        std::optional<FeatureMap> map;
        QString problem;
        bool refused = false;
    };
    ordered_parallel<Read>(
        files.size(), thread_count(threads),
        [&](int k) {
            // The maps are kept; the decode budget covers decoding alone.
            GreyRead grey = read_grey_map(directory + "/" + files[k].fileName());
            return Read{std::move(grey.map), grey.problem, grey.refused};
        },
        [&](int k, Read &read) {
            if (read.map) {
                read.map->name = files[k].baseName();
                set.maps.append(*read.map);
                set.files.append(files[k].fileName());
            } else if (read.refused) {
                console::write(QString("skipped %1: %2\n")
                                   .arg(console::printable(files[k].fileName()), read.problem));
            }
            return true;
        });
    return set;
}

MultiSearch multi_search(const WindowSettings &settings, const QList<FeatureMap> &database,
                         const QString &directory, const SearchOptions &options,
                         const FineMaps *fine)
{
    MultiSearch result;
    if (refuse_invalid(settings)) {
        result.refused = true;
        return result;
    }
    // All patterns are read first, so that the search's time covers the search alone.
    const PatternSet patterns = read_patterns(directory, options.threads);
    result.files = patterns.files;
    for (const FeatureMap &map : patterns.maps) {
        result.sizes.append(QSize(map.width, map.height));
    }
    result.outcome = search_at_two_radii(settings, patterns.maps, database, options, fine);
    return result;
}

QString success_rate_text(float rate)
{
    return QStringLiteral("Success rate: ") + QString::number(double(rate), 'g', 6) +
           QStringLiteral(" %");
}
