#pragma once
// What the records of a database file amount to, counted for people (pictrace-cli info): the
// records by state, the range of image and map sizes, the base names held by more than one
// record and the settings the file was built with.

#include "ft1/ft1_contents.h"
#include "maps/window_settings.h"

#include <QList>
#include <QPair>
#include <QSize>
#include <QString>

#include <climits>

// The least and the largest width and height seen, each apart.
struct SizeRange {
    QSize least{INT_MAX, INT_MAX};
    QSize most{0, 0};

    bool empty() const { return least.width() == INT_MAX; }
    void add(QSize size);
};

struct DatabaseStats {
    int records = 0;
    int with_map = 0;      // complete, with cells
    int without_cells = 0; // a map size of 0
    int incomplete = 0;    // not closed by "EOR"
    SizeRange image_sizes; // of the records whose image size is known
    SizeRange map_sizes;
    QList<QPair<QString, int>> duplicates; // name and count of records, by name
    // The settings of step divisor 1, as the window builds, that fit every record; when none
    // do, those of any divisor.
    QList<WindowSettings> built_with;
};

DatabaseStats database_stats(const QList<Ft1Record> &records);
