#pragma once
// The aligned search written out exhaustively: every phase's literal descriptor map (of the
// pattern cropped by the phase's offset), every window of every database map scored with the
// literal window score, candidates in the order (map, phase, x, y), and the first lowest score
// below 9999999 picked; the first candidate when there is none.

#include "maps/feature_map.h"
#include "maps/window_settings.h"
#include "reference/reference_descriptor.h"
#include "search/window_compare.h"

#include <QList>

#include <vector>

namespace reference {

struct AlignedPick {
    bool exists = false;
    int map = -1;
    int px = 0;
    int py = 0;
    int x = 0;
    int y = 0;
    float score = 0;
};

inline FeatureMap cropped(const FeatureMap &image, int x0, int y0)
{
    FeatureMap part = FeatureMap::allocate(image.width - x0, image.height - y0, image.name);
    for (int y = 0; y < part.height; ++y) {
        for (int x = 0; x < part.width; ++x) {
            part.values[x + y * part.width] = image.values[(x0 + x) + (y0 + y) * image.width];
        }
    }
    return part;
}

// The phase maps in phase order (py, then px); maps without cells are kept, empty.
inline QList<FeatureMap> phase_maps(const FeatureMap &grey, const WindowSettings &settings)
{
    QList<FeatureMap> phases;
    const int step = settings.step();
    for (int py = 0; py < step; ++py) {
        for (int px = 0; px < step; ++px) {
            phases.append(reference::descriptor_map(cropped(grey, px, py), settings.radius,
                                                    settings.step_divisor));
        }
    }
    return phases;
}

// `wanted`: the maps taken (all when empty); `bound`: only windows scoring at most this count,
// and no first-candidate fallback when it is below 9999999.
inline AlignedPick aligned_pick(const QList<FeatureMap> &phases, int step,
                                const QList<FeatureMap> &database,
                                const std::vector<char> &wanted = {}, float bound = no_best_score)
{
    AlignedPick best;
    AlignedPick first;
    for (int m = 0; m < database.size(); ++m) {
        if (!wanted.empty() && !wanted[static_cast<std::size_t>(m)]) {
            continue;
        }
        const FeatureMap &map = database[m];
        for (int p = 0; p < phases.size(); ++p) {
            const FeatureMap &phase = phases[p];
            if (!phase.has_values()) {
                continue;
            }
            for (int x = 0; x + phase.width <= map.width; ++x) {
                for (int y = 0; y + phase.height <= map.height; ++y) {
                    const float score = window_score(map, phase, x, y);
                    const AlignedPick here{true, m, p % step, p / step, x, y, score};
                    if (!first.exists) {
                        first = here;
                    }
                    if (score <= bound && score < no_best_score &&
                        (!best.exists || score < best.score)) {
                        best = here;
                    }
                }
            }
        }
    }
    if (!best.exists && bound == no_best_score) {
        return first;
    }
    return best;
}

} // namespace reference
