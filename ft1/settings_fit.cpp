#include "ft1/settings_fit.h"

#include "maps/descriptor.h"

#include <QSet>

#include <set>
#include <tuple>
#include <vector>

namespace {

struct Sizes {
    int image_width, image_height, map_width, map_height;

    bool operator<(const Sizes &other) const
    {
        return std::tie(image_width, image_height, map_width, map_height) <
               std::tie(other.image_width, other.image_height, other.map_width, other.map_height);
    }
    bool operator==(const Sizes &other) const { return !(*this < other) && !(other < *this); }
};

bool informative(const Ft1Record &record)
{
    return record.image_width >= 0 && record.image_height >= 0;
}

bool sizes_fit(const Sizes &sizes, int radius, int step)
{
    return descriptor_extent(sizes.image_width, radius, step) == sizes.map_width &&
           descriptor_extent(sizes.image_height, radius, step) == sizes.map_height;
}

} // namespace

bool record_fits(const Ft1Record &record, const WindowSettings &settings)
{
    return settings.valid() && informative(record) &&
           sizes_fit({record.image_width, record.image_height, record.map_width, record.map_height},
                     settings.radius, settings.step());
}

SettingsFit settings_fit(const QList<Ft1Record> &records, const WindowSettings &settings)
{
    SettingsFit fit;
    for (const Ft1Record &record : records) {
        if (informative(record)) {
            ++fit.informative;
            fit.fitting += record_fits(record, settings) ? 1 : 0;
        }
    }
    return fit;
}

QList<WindowSettings> fitting_settings(const QList<Ft1Record> &records, int step_divisor)
{
    // Many records share their sizes: each distinct set is checked once (and a database's
    // records mostly come in runs of one size).
    std::set<Sizes> seen;
    const Sizes *last = nullptr;
    for (const Ft1Record &record : records) {
        if (informative(record)) {
            const Sizes sizes{record.image_width, record.image_height, record.map_width,
                              record.map_height};
            if (!last || !(*last == sizes)) {
                last = &*seen.insert(sizes).first;
            }
        }
    }
    const std::vector<Sizes> distinct(seen.begin(), seen.end());
    QList<WindowSettings> fitting;
    if (distinct.empty()) {
        return fitting;
    }
    const int first_divisor = step_divisor > 0 ? step_divisor : 1;
    const int last_divisor = step_divisor > 0 ? step_divisor : WindowSettings::max_step_divisor;
    for (int radius = 1; radius <= WindowSettings::max_radius; ++radius) {
        for (int divisor = first_divisor; divisor <= last_divisor && divisor <= radius; ++divisor) {
            const int step = radius / divisor;
            bool all = true;
            for (const Sizes &sizes : distinct) {
                if (!sizes_fit(sizes, radius, step)) {
                    all = false;
                    break;
                }
            }
            if (all) {
                fitting.append({radius, divisor});
            }
        }
    }
    return fitting;
}

QList<WindowSettings> fitting_settings_like(const QList<Ft1Record> &records,
                                            const WindowSettings &like)
{
    const QList<WindowSettings> same_divisor = fitting_settings(records, like.step_divisor);
    return same_divisor.isEmpty() ? fitting_settings(records) : same_divisor;
}

QString settings_text(const QList<WindowSettings> &settings)
{
    // Runs of consecutive radii with one divisor.
    struct Run {
        int first, last, divisor;
    };
    std::vector<Run> runs;
    QList<WindowSettings> by_divisor = settings;
    std::stable_sort(by_divisor.begin(), by_divisor.end(),
                     [](const WindowSettings &a, const WindowSettings &b) {
                         return a.step_divisor < b.step_divisor;
                     });
    for (const WindowSettings &s : by_divisor) {
        if (!runs.empty() && runs.back().divisor == s.step_divisor &&
            runs.back().last + 1 == s.radius) {
            runs.back().last = s.radius;
        } else {
            runs.push_back({s.radius, s.radius, s.step_divisor});
        }
    }
    QStringList parts;
    for (const Run &run : runs) {
        if (parts.size() == 3) {
            parts << "...";
            break;
        }
        const QString radii = run.first == run.last
                                  ? QString("radius %1").arg(run.first)
                                  : QString("radius %1 to %2").arg(run.first).arg(run.last);
        parts << QString("%1, step divisor %2").arg(radii).arg(run.divisor);
    }
    return parts.join("; ");
}
