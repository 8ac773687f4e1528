#pragma once
// One scored window position of a pattern map inside a database map.

#include <QString>

struct MatchCandidate {
    int x = 0;       // database column under the pattern's column 0
    int y = 0;       // database row under the pattern's row 0
    float score = 0; // sum of absolute differences, or exactly 9999 when cut off
    QString name;    // name of the database map
    int map = -1;    // index of the database map in its database, where known
};
