#pragma once
// Whether the settings of a search fit the records of its database, and what each front end
// says when they do not: the window warns and searches anyway; the command line takes the
// database's radius when none was given and exactly one fits, warns when some records fit,
// and refuses settings that fit none.

#include "ft1/ft1_contents.h"
#include "ft1/settings_fit.h"
#include "maps/window_settings.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace commands {

struct SettingsVerdict {
    WindowSettings used;
    SettingsFit fit;
    // When the settings do not fit every record: the settings of their step divisor that do.
    QList<WindowSettings> same_divisor;
    // When they fit no record: the settings that fit every record, of their step divisor when
    // there are any, else of any divisor.
    QList<WindowSettings> fitting;

    bool fits() const { return !fit.known() || fit.fits_all(); }
};

SettingsVerdict settings_verdict(const QList<Ft1Record> &records, const WindowSettings &settings);

// The window's sentence when the settings do not fit the database's records, naming the
// settings that do fit where one set fits them all.
std::optional<QString> settings_warning(const QList<Ft1Record> &records,
                                        const WindowSettings &settings);

struct SettingsChoice {
    std::optional<WindowSettings> settings; // none: refused
    bool from_database = false;
    std::optional<QString> message; // the problem, said before searching (or instead)
};

// The command line's settings for the databases `files` holding `records`: those given when
// they fit; the databases' when the radius was not given and exactly one setting fits.
SettingsChoice choose_settings(const QList<Ft1Record> &records, const QStringList &files,
                               const WindowSettings &settings, bool radius_given);

} // namespace commands
