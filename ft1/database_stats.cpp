#include "ft1/database_stats.h"

#include "ft1/settings_fit.h"

#include <QMap>

void SizeRange::add(QSize size)
{
    least = least.boundedTo(size);
    most = most.expandedTo(size);
}

DatabaseStats database_stats(const QList<Ft1Record> &records)
{
    DatabaseStats stats;
    stats.records = records.size();
    QMap<QString, int> count_of_name;
    for (const Ft1Record &record : records) {
        const bool cells = record.map_width > 0 && record.map_height > 0;
        stats.with_map += cells && record.complete ? 1 : 0;
        stats.without_cells += cells ? 0 : 1;
        stats.incomplete += record.complete ? 0 : 1;
        ++count_of_name[record.name];
        if (record.image_width >= 0 && record.image_height >= 0) {
            stats.image_sizes.add({record.image_width, record.image_height});
        }
        stats.map_sizes.add({record.map_width, record.map_height});
    }
    for (auto name = count_of_name.cbegin(); name != count_of_name.cend(); ++name) {
        if (name.value() > 1) {
            stats.duplicates.append({name.key(), name.value()});
        }
    }
    stats.built_with = fitting_settings_like(records, WindowSettings{1, 1});
    return stats;
}
