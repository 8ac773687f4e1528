#include "search/single_search.h"

#include "matcher/console.h"
#include "matcher/grey_map.h"
#include "matcher/image_matcher.h"

#include <QFileInfo>
#include <QImage>

std::optional<FeatureMap> pattern_from_image(const QImage &image, const QString &path)
{
    if (image.isNull()) {
        return std::nullopt;
    }
    FeatureMap map = grey_map_from_loaded_image(image);
    map.name = QFileInfo(path).baseName();
    return map;
}

SingleSearch search_single_pattern(ImageMatcher &matcher, const FeatureMap &pattern,
                                   const QList<FeatureMap> &database, const QString &pattern_path)
{
    SingleSearch result;
    float rate = 0;
    matcher.search_database({pattern}, database, result.elapsed_ms, result.found_name, rate);
    console::write("search2 = " + result.found_name + "\n");
    result.found_image_path =
        "database/" + result.found_name + "." + QFileInfo(pattern_path).suffix();
    return result;
}
