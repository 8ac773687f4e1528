#pragma once
// Which window settings a database was built with. A record's header holds the image size and
// the map size, and the map size follows from the image size and the settings, so a record
// tells which settings could have produced it. Records whose image size is not a whole number
// (files not written by the builder) tell nothing.

#include "ft1/ft1_contents.h"
#include "maps/window_settings.h"

#include <QList>
#include <QString>

// Whether the settings turn the record's image size into its map size.
bool record_fits(const Ft1Record &record, const WindowSettings &settings);

struct SettingsFit {
    int informative = 0; // records with an image size
    int fitting = 0;     // of those, the records the settings fit

    bool known() const { return informative > 0; }
    bool fits_all() const { return fitting == informative; }
    bool fits_none() const { return known() && fitting == 0; }
};

SettingsFit settings_fit(const QList<Ft1Record> &records, const WindowSettings &settings);

// Every setting within the form's ranges that fits every informative record, by radius and
// then step divisor. With `step_divisor` > 0, only settings of that divisor. Empty when no
// record is informative or no single setting fits them all.
QList<WindowSettings> fitting_settings(const QList<Ft1Record> &records, int step_divisor = 0);

// The settings of `like`'s step divisor that fit every informative record, or when there are
// none, those of any divisor.
QList<WindowSettings> fitting_settings_like(const QList<Ft1Record> &records,
                                            const WindowSettings &like);

// "radius 20, step divisor 1"; runs of radii with one divisor as "radius 50 to 59, step
// divisor 1"; at most three runs, then ", ...".
QString settings_text(const QList<WindowSettings> &settings);
