#include "search/window_compare.h"

#include <cmath>

float window_score(const FeatureMap &database_map, const FeatureMap &pattern, int x, int y)
{
    if (pattern.width <= 0 || pattern.height <= 0) {
        return 0.0f;
    }
    const float *d = database_map.data() + x + qint64(y) * database_map.width;
    const float *p = pattern.data();
    double sum = 0;
    for (int k = 0; k < pattern.width; ++k) {
        for (int l = 0; l < pattern.height; ++l) {
            const double difference = double(d[k + qint64(l) * database_map.width]) -
                                      double(p[k + qint64(l) * pattern.width]);
            const double magnitude = std::fabs(difference);
            if (magnitude > cut_off_difference) {
                return cut_off_score;
            }
            sum += magnitude;
        }
    }
    return static_cast<float>(sum);
}

void compare_windows(const FeatureMap &database_map, const FeatureMap &pattern,
                     QList<MatchCandidate> &candidates)
{
    const int dw = database_map.width;
    const int dh = database_map.height;
    if (dw <= 0 || dh <= 0) {
        return;
    }
    // A pattern without cells fits everywhere: every cell of the map is a position.
    const int last_x = pattern.width > 0 ? dw - pattern.width : dw - 1;
    const int last_y = pattern.height > 0 ? dh - pattern.height : dh - 1;
    for (int x = 0; x <= last_x; ++x) {
        for (int y = 0; y <= last_y; ++y) {
            candidates.append({x, y, window_score(database_map, pattern, x, y), database_map.name});
        }
    }
}

int pick_best_index(const QList<MatchCandidate> &candidates)
{
    if (candidates.isEmpty()) {
        return -1;
    }
    float best = no_best_score;
    int index = 0;
    for (int i = 0; i < candidates.size(); ++i) {
        if (best > candidates[i].score) {
            best = candidates[i].score;
            index = i;
        }
    }
    return index;
}

QString pick_best_name(const QList<MatchCandidate> &candidates)
{
    const int index = pick_best_index(candidates);
    return index < 0 ? QString() : candidates[index].name;
}
