#pragma once
// FeatureMap: a grid of 32-bit floats stored row by row (column x of row y at x + y * width).
// Grey maps, descriptor maps, database entries and patterns are all feature maps.
//
// Copies share the values array; the last copy to go releases it. A map whose width or height
// is zero or negative holds no values (its sizes are still meaningful: the database file
// records them).

#include <QString>

#include <memory>

struct FeatureMap {
    std::shared_ptr<float[]> values;
    int width = 0;
    int height = 0;
    QString name;

    // A map of the given sizes whose cells (if it has any) are all zero.
    static FeatureMap allocate(int width, int height, const QString &name = QString());

    // width * height when both are positive, else 0.
    qint64 cell_count() const
    {
        return width > 0 && height > 0 ? qint64(width) * qint64(height) : 0;
    }
    bool has_values() const { return cell_count() > 0 && values != nullptr; }

    const float *data() const { return values.get(); }
    float *data() { return values.get(); }
    float at(int x, int y) const { return values[x + qint64(y) * width]; }
    float &at(int x, int y) { return values[x + qint64(y) * width]; }
};
