#include "maps/feature_map.h"

FeatureMap FeatureMap::allocate(int width, int height, const QString &name)
{
    FeatureMap map;
    map.width = width;
    map.height = height;
    map.name = name;
    const qint64 cells = map.cell_count();
    if (cells > 0) {
        map.values = std::make_unique<float[]>(static_cast<size_t>(cells));
    }
    return map;
}
