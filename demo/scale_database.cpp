#include "demo/scale_database.h"

#include "demo/synthetic_images.h"
#include "ft1/ft1_writer.h"
#include "maps/descriptor.h"
#include "maps/grey_map.h"
#include "support/atomic_file.h"

#include <cmath>

FeatureMap generated_map(std::uint64_t seed, int index, int width, int height)
{
    SyntheticRandom random(seed * 1000003 + std::uint64_t(index));
    FeatureMap map = FeatureMap::allocate(width, height);
    // A few waves make the smooth field; a mask of flat regions; a couple of edges.
    double fx[3], fy[3], phase[3], amplitude[3];
    for (int k = 0; k < 3; ++k) {
        fx[k] = random.between(1, 60) / 100.0;
        fy[k] = random.between(1, 60) / 100.0;
        phase[k] = random.between(0, 628) / 100.0;
        amplitude[k] = random.between(20, 150) / 100.0;
    }
    const double flat_x = random.between(0, 100) / 100.0 * width;
    const double flat_y = random.between(0, 100) / 100.0 * height;
    const double flat_r = random.between(10, 60) / 100.0 * std::max(width, height);
    const int edge_row = random.between(0, std::max(0, height - 1));
    const int edge_column = random.between(0, std::max(0, width - 1));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            double v = 0;
            for (int k = 0; k < 3; ++k) {
                v += amplitude[k] * std::sin(fx[k] * x + fy[k] * y + phase[k]);
            }
            v *= v * v / 4; // heavier tails, many values near zero
            if (std::hypot(x - flat_x, y - flat_y) < flat_r) {
                v *= 0.01;
            }
            if (y == edge_row || x == edge_column) {
                v += random.between(-500, 500) / 100.0;
            }
            v += random.between(-100, 100) / 10000.0;
            map.at(x, y) = float(v);
        }
    }
    return map;
}

namespace {

// Whether record k holds a real image.
bool real_record(const ScaleDatabase &plan, int k)
{
    const int every = std::max(1, plan.records / std::max(1, plan.real_images));
    return plan.real_images > 0 && k % every == every / 2 && k / every < plan.real_images;
}

} // namespace

QList<ScalePattern> scale_pattern_images(const ScaleDatabase &plan)
{
    QList<ScalePattern> patterns;
    SyntheticRandom crops(plan.seed);
    for (int k = 0; k < plan.records; ++k) {
        if (!real_record(plan, k)) {
            continue;
        }
        const QImage image =
            synthetic_image(plan.seed, k, plan.image_size.width(), plan.image_size.height());
        const QRect crop = synthetic_crop(crops, plan.image_size.width(), plan.image_size.height(),
                                          4 * plan.settings.radius + 20);
        patterns.append({QString("rec%1").arg(k, 7, 10, QChar('0')), image.copy(crop), crop});
    }
    return patterns;
}

QList<FeatureMap> scale_patterns(const ScaleDatabase &plan)
{
    QList<FeatureMap> patterns;
    for (const ScalePattern &pattern : scale_pattern_images(plan)) {
        FeatureMap grey = grey_map_from_loaded_image(pattern.image);
        grey.name = pattern.name;
        patterns.append(grey);
    }
    return patterns;
}

QString write_scale_database(const QString &path, const ScaleDatabase &plan,
                             QList<FeatureMap> *patterns)
{
    const int step = plan.settings.step();
    const int width = descriptor_extent(plan.image_size.width(), plan.settings.radius, step);
    const int height = descriptor_extent(plan.image_size.height(), plan.settings.radius, step);
    AtomicFile file(path);
    if (!file.open()) {
        return file.error();
    }
    QByteArray buffer;
    for (int k = 0; k < plan.records; ++k) {
        const QString name = QString("rec%1").arg(k, 7, 10, QChar('0'));
        FeatureMap map;
        if (real_record(plan, k)) {
            const QImage image =
                synthetic_image(plan.seed, k, plan.image_size.width(), plan.image_size.height());
            map = descriptor_map(grey_map_from_loaded_image(image), plan.settings);
        } else {
            map = generated_map(plan.seed, k, width, height);
        }
        append_ft1_record(buffer, encode_ft1_name(name), plan.image_size.width(),
                          plan.image_size.height(), map);
        if (buffer.size() > (1 << 24)) {
            if (!file.write(buffer)) {
                return file.error();
            }
            buffer.clear();
        }
    }
    if (!file.write(buffer) || !file.commit()) {
        return file.error();
    }
    if (patterns) {
        *patterns = scale_patterns(plan);
    }
    return QString();
}
