#include "search/crop_location.h"

#include "maps/centre_descriptor.h"
#include "search/window_compare.h"

#include <algorithm>

namespace {

// Cell differences one location may cost: far more than any pick at the steps people use
// (radius 50: 2500 phases), bounded for steps where it would take longer than the search.
constexpr double most_differences = 4e8;

} // namespace

std::optional<LocatedCrop> locate_crop(const FeatureMap &pattern, const FeatureMap &map,
                                       const WindowSettings &settings, QPoint cell)
{
    if (!settings.valid() || map.width <= 0 || map.height <= 0) {
        return std::nullopt;
    }
    CentreDescriptor descriptor(pattern, settings);
    const int step = descriptor.step();
    const QSize own = descriptor.phase_size(0, 0);
    const double positions = double(2 * locate_reach + 1) * (2 * locate_reach + 1);
    if (double(step) * step * positions * own.width() * own.height() > most_differences) {
        return std::nullopt;
    }
    std::optional<LocatedCrop> best;
    for (int py = 0; py < step; ++py) {
        for (int px = 0; px < step; ++px) {
            if (!descriptor.phase_has_cells(px, py)) {
                continue;
            }
            const FeatureMap phase = descriptor.phase_map(px, py);
            // A corner left of or above the image is no place for the crop.
            const int first_x = std::max({cell.x() - locate_reach, 0, px > 0 ? 1 : 0});
            const int first_y = std::max({cell.y() - locate_reach, 0, py > 0 ? 1 : 0});
            const int last_x = std::min(cell.x() + locate_reach, map.width - phase.width);
            const int last_y = std::min(cell.y() + locate_reach, map.height - phase.height);
            for (int x = first_x; x <= last_x; ++x) {
                for (int y = first_y; y <= last_y; ++y) {
                    const float score = window_score(map, phase, x, y);
                    if (!(score < cut_off_score) || (best && !(score < best->score))) {
                        continue;
                    }
                    best = LocatedCrop{QPoint(x * step - px, y * step - py), QPoint(px, py),
                                       QPoint(x, y), score};
                }
            }
        }
    }
    return best;
}
