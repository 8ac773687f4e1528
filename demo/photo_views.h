#pragma once
// Views of a few photographs, for large collections that look like real ones: each view is a
// region of one source photograph turned by any angle, scaled by 0.5 to 2, perhaps mirrored,
// with another tone curve, its grey levels whole numbers. Descriptor maps of such views have
// the statistics of photographs' maps (flat regions, edges, textures of every contrast), while
// a crop of another photograph matches none of them, and a crop of a source only at the
// source's own angle and scale, which no view has.

#include "maps/feature_map.h"

#include <QList>

#include <cstdint>

class PhotoViews
{
public:
    // The grey maps of the source photographs (at least one, each at least 2 x 2 pixels).
    explicit PhotoViews(QList<FeatureMap> sources);

    bool empty() const { return m_sources.isEmpty(); }
    // View number `seed` of the given size: the same on every machine.
    FeatureMap view(std::uint64_t seed, int width, int height) const;

private:
    QList<FeatureMap> m_sources;
};
