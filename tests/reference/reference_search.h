#pragma once
// Window comparison, best pick and the database search written out literally: every window
// position becomes a candidate in a list, and the best is picked from the whole list.

#include "matcher/feature_map.h"
#include "search/match_candidate.h"

#include <QList>

#include <cmath>

namespace reference {

inline void compare_windows(const FeatureMap &D, const FeatureMap &P, QList<MatchCandidate> &list)
{
    if (D.width <= 0 || D.height <= 0) {
        return;
    }
    for (int x = 0; x < D.width; ++x) {
        if (x + P.width > D.width || P.height > D.height) {
            continue;
        }
        for (int y = 0; y < D.height && y + P.height <= D.height; ++y) {
            float score = 0;
            if (P.width > 0 && P.height > 0) {
                double sum = 0;
                bool cut = false;
                for (int k = 0; k < P.width && !cut; ++k) {
                    for (int l = 0; l < P.height; ++l) {
                        const double d = double(D.values[(x + k) + (y + l) * D.width]) -
                                         double(P.values[k + l * P.width]);
                        if (std::fabs(d) > 500) {
                            cut = true;
                            break;
                        }
                        sum = sum + std::fabs(d);
                    }
                }
                score = cut ? 9999.0f : static_cast<float>(sum);
            }
            list.append({x, y, score, D.name});
        }
    }
}

inline int pick_best_index(const QList<MatchCandidate> &list)
{
    float best = 9999999.0f;
    int index = 0;
    for (int i = 0; i < list.size(); ++i) {
        if (best > list[i].score) {
            best = list[i].score;
            index = i;
        }
    }
    return list.isEmpty() ? -1 : index;
}

} // namespace reference
