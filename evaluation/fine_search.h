#pragma once
// Small crops at a smaller radius. A database may be kept at two radii, the second smaller (20
// and 10, say): a pattern whose map holds a few cells at the database's radius fits windows of
// many images by chance, and at half the radius it has about four times the cells. The indexed
// search looks for every pattern at the database's radius first; those it does not accept and
// whose map there holds few cells are looked for again among the maps of the smaller radius,
// and the answer found there is taken when it is accepted. What is not accepted there either
// keeps the first answer.

#include "maps/feature_map.h"
#include "maps/window_settings.h"
#include "search/search_records.h"

#include <QList>
#include <QSize>

// The maps of the same images at a smaller radius, and their indexes (index, candidates and
// before_reading of the options; the rest is taken from the search's).
struct FineMaps {
    WindowSettings settings;
    QList<FeatureMap> maps;
    SearchOptions indexes;
};

// Whether a pattern of `size` pixels is few cells for the indexed search at `settings`: fewer
// than indexed_few_cells at the scale of `scales` that shrinks it most (a crop twice its
// image's size is resampled to half the pattern's sides, a quarter of its cells).
bool few_cells(QSize size, const WindowSettings &settings, const ScaleRange &scales);

// search_patterns at `settings`, then with `fine` given (and the indexed search) the patterns
// it did not accept that have few cells searched again among the fine maps. One summary line
// for both, their times added. A database index found damaged on the second search is named on
// the console, and the first answers kept.
SearchOutcome search_at_two_radii(const WindowSettings &settings, const QList<FeatureMap> &patterns,
                                  const QList<FeatureMap> &database, const SearchOptions &options,
                                  const FineMaps *fine);
