#include "commands/settings_verdict.h"

namespace commands {

namespace {

QString settings_words(const WindowSettings &settings)
{
    return QString("radius %1, step divisor %2").arg(settings.radius).arg(settings.step_divisor);
}

QString option_words(const WindowSettings &settings)
{
    return settings.step_divisor == 1
               ? QString("-r %1").arg(settings.radius)
               : QString("-r %1 -c %2").arg(settings.radius).arg(settings.step_divisor);
}

// "3 of the 10 RECORDS were not built with radius 50, step divisor 1"
QString differing_text(const SettingsVerdict &verdict, const QString &records)
{
    return QString("%1 of the %2 %3 were not built with %4")
        .arg(verdict.fit.informative - verdict.fit.fitting)
        .arg(verdict.fit.informative)
        .arg(records, settings_words(verdict.used));
}

} // namespace

SettingsVerdict settings_verdict(const QList<Ft1Record> &records, const WindowSettings &settings)
{
    SettingsVerdict verdict;
    verdict.used = settings;
    verdict.fit = settings_fit(records, settings);
    if (verdict.fits()) {
        return verdict;
    }
    verdict.same_divisor = fitting_settings(records, settings.step_divisor);
    if (verdict.fit.fits_none()) {
        verdict.fitting =
            verdict.same_divisor.isEmpty() ? fitting_settings(records) : verdict.same_divisor;
    }
    return verdict;
}

std::optional<QString> settings_warning(const QList<Ft1Record> &records,
                                        const WindowSettings &settings)
{
    const SettingsVerdict verdict = settings_verdict(records, settings);
    if (verdict.fits()) {
        return std::nullopt;
    }
    if (!verdict.fit.fits_none()) {
        return differing_text(verdict, "records of the database");
    }
    QString text = QString("the database was not built with %1").arg(settings_words(settings));
    if (!verdict.fitting.isEmpty()) {
        text += QString(" (built with %1?)").arg(settings_text(verdict.fitting));
    }
    return text;
}

SettingsChoice choose_settings(const QList<Ft1Record> &records, const QStringList &files,
                               const WindowSettings &settings, bool radius_given)
{
    const SettingsVerdict verdict = settings_verdict(records, settings);
    if (verdict.fits()) {
        return {settings, false, std::nullopt};
    }
    const QString names = files.join(", ");
    // The radius is taken from the database for the step divisor in use only: the window
    // always builds with 1, and other divisors fit by chance.
    if (!radius_given && verdict.same_divisor.size() == 1) {
        const WindowSettings &built = verdict.same_divisor.first();
        return {built, true,
                QString("%1: built with %2: searching with %3")
                    .arg(names, settings_words(built), option_words(built))};
    }
    if (!verdict.fit.fits_none()) {
        return {settings, false, names + ": " + differing_text(verdict, "records")};
    }
    QString text = QString("%1: not built with %2").arg(names, settings_words(settings));
    if (!verdict.fitting.isEmpty()) {
        text += QString(" (built with %1? use %2)")
                    .arg(settings_text(verdict.fitting), option_words(verdict.fitting.first()));
    }
    return {std::nullopt, false, text};
}

} // namespace commands
