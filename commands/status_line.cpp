#include "commands/status_line.h"

#include "commands/settings_verdict.h"

#include <QFileInfo>

namespace commands {

namespace {

// What the window's h would be for settings that fit, when its c stays: h' = c * h is the
// radius.
std::optional<int> fitting_h(const SettingsVerdict &verdict)
{
    for (const WindowSettings &fits : verdict.same_divisor) {
        if (fits.radius % fits.step_divisor == 0) {
            return fits.radius / fits.step_divisor;
        }
    }
    return std::nullopt;
}

// "h = 10 does not fit the database (set h to 20)", or nothing when the settings fit.
std::optional<QString> misfit_text(const QList<Ft1Record> &records, const WindowSettings &settings)
{
    const SettingsVerdict verdict = settings_verdict(records, settings);
    if (verdict.fits()) {
        return std::nullopt;
    }
    const int h = settings.step();
    QString text = verdict.fit.fits_none() ? QString("h = %1 does not fit the database").arg(h)
                                           : QString("h = %1 does not fit %2 of its %3 records")
                                                 .arg(h)
                                                 .arg(verdict.fit.informative - verdict.fit.fitting)
                                                 .arg(verdict.fit.informative);
    const std::optional<int> other = fitting_h(verdict);
    if (other) {
        text += QString(" (set h to %1)").arg(*other);
    }
    return text;
}

const QString nothing_searched = QStringLiteral(": nothing searched");
const QString no_database =
    QStringLiteral("No database loaded: open one (Ctrl+O) or build one (Ctrl+N)") +
    nothing_searched;

} // namespace

QString search_status(const QString &pattern_path, const SearchResult &result,
                      const QList<Ft1Record> &records, const WindowSettings &settings)
{
    if (pattern_path.isEmpty()) {
        return "No pattern chosen" + nothing_searched;
    }
    if (!result.pattern_loaded) {
        const QString problem =
            result.pattern_problem.isEmpty() ? QString("not an image") : result.pattern_problem;
        return QString("Pattern not read: %1: %2")
                   .arg(QFileInfo(pattern_path).fileName(), problem) +
               nothing_searched;
    }
    if (result.status == SearchStatus::invalid_settings) {
        return refusal_status(settings);
    }
    if (!result.searched) {
        return no_database;
    }
    QString text = answer_line(result.answer);
    const std::optional<QString> misfit = misfit_text(records, settings);
    if (misfit) {
        text = *misfit + ": " + text;
    }
    if (result.answer.best && result.answer.found_image.isEmpty()) {
        text += "; found image not in database/";
    }
    return text;
}

QString multi_status(const MultiResult &result, const QString &directory)
{
    if (result.refused) {
        return "Invalid window settings" + nothing_searched;
    }
    if (!result.searched) {
        return no_database;
    }
    if (result.answers.isEmpty()) {
        return QString("No pattern images in %1").arg(directory) + nothing_searched;
    }
    int found = 0;
    for (const Answer &answer : result.answers) {
        found += answer.found ? 1 : 0;
    }
    return QString("Searched %1 patterns of %2: %3 found (%4 %)")
        .arg(result.answers.size())
        .arg(directory)
        .arg(found)
        .arg(double(result.rate), 0, 'g', 6);
}

QString refusal_status(const WindowSettings &settings)
{
    return QString::fromStdString(settings.refusal()).trimmed() + ": nothing done";
}

QString unchosen_status(Unchosen what)
{
    switch (what) {
    case Unchosen::folder:
        return QStringLiteral("No folder chosen: nothing built");
    case Unchosen::database_name:
        return QStringLiteral("No database name given: nothing built");
    case Unchosen::database_file:
        return QStringLiteral("No database file chosen: nothing read");
    }
    return QString();
}

QString build_status(const QString &path, bool written, int records)
{
    if (!written) {
        return QString("Nothing written to %1 (see the console)").arg(path);
    }
    return QString("Wrote %1: %2 records").arg(path).arg(records);
}

QString load_status(const QString &path, const LoadResult &result, int maps)
{
    if (!result.opened) {
        return QString("Not opened: %1: %2").arg(path, result.error);
    }
    if (result.not_a_database) {
        return QString("Not a database: %1 (no complete record)").arg(path);
    }
    QString text = QString("Read %1: %2 records").arg(path).arg(result.database.records.size());
    if (result.problems > 0) {
        text += QString(", %1 malformed lines skipped").arg(result.problems);
    }
    if (maps == 0) {
        return text + "; no database to search in yet";
    }
    if (maps != result.database.maps.size()) {
        text += QString("; %1 images loaded in all").arg(maps);
    }
    return text;
}

} // namespace commands
