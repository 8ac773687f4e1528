#pragma once
// Where the literal search's pick lies in its image, to the pixel. The literal search compares
// the pattern's own grid with the image's, so a crop cut off the grid is picked at a nearby
// cell only, and on photographs with smooth areas now and then a few cells away. Every grid
// phase of the pattern (CentreDescriptor) is scored, with the search's window score, against
// the picked map at the cells around the pick; the lowest window gives the crop's corner,
// (x * step - px, y * step - py), as the aligned search's would. The pick itself (image, cell,
// score) is left as the search made it.

#include "maps/feature_map.h"
#include "maps/window_settings.h"

#include <QPoint>

#include <optional>

// How many cells either way of the picked cell are looked at.
constexpr int locate_reach = 4;

struct LocatedCrop {
    QPoint corner; // of the crop in the image, in pixels
    QPoint phase;  // the pattern's grid phase that scored lowest
    QPoint cell;   // its cell in the map
    float score = 0;
};

// The lowest window of any phase of `pattern` (a grey map) in `map` (the picked image's map,
// made with `settings`) within locate_reach cells of `cell`, ties going to the earlier phase
// (py * step + px), then the smaller x, then the smaller y. Nothing when no window there
// scores a number below the cut-off, or when scoring every phase would cost more than a
// search should (a step of hundreds of pixels).
std::optional<LocatedCrop> locate_crop(const FeatureMap &pattern, const FeatureMap &map,
                                       const WindowSettings &settings, QPoint cell);
