#include "report/sweep_report.h"

#include <QFileInfo>
#include <QStringList>

#include <algorithm>

namespace {

bool searched(const commands::SweepPassResult &pass)
{
    return pass.opened && !pass.search.answers.isEmpty();
}

// The anchor of a pass's section; the search's name comes first when the page has two sweeps.
QString section_id(const QString &sweep, int radius, bool several)
{
    return (several ? sweep + "-" : QString()) + QString("radius-%1").arg(radius);
}

void add_rate_table(HtmlReport &page, const QList<SweepSeries> &series)
{
    // One pair of columns per search; radii that no search reached are left out. A rate links
    // to its pass's section.
    page.table_header << "radius";
    for (const SweepSeries &s : series) {
        page.table_header << s.name + " found (%)" << s.name + " ms per pattern";
    }
    for (int radius : sweep_radii()) {
        QStringList row{QString::number(radius)};
        QStringList links{QString()};
        bool any = false;
        for (const SweepSeries &s : series) {
            QString rate = "-";
            QString time = "-";
            QString link;
            for (const SweepPoint &point : s.points) {
                if (point.radius == radius) {
                    rate = QString::number(point.rate, 'f', 1);
                    time = QString::number(point.ms_per_pattern, 'f', 2);
                    link = section_id(s.name, radius, series.size() > 1);
                    any = true;
                }
            }
            row << rate << time;
            links << link << QString();
        }
        if (any) {
            page.table_rows << row;
            page.table_links << links;
        }
    }
}

// A section per pass that searched: its patterns, failures first; those found with a verdict
// that stands are named only, which keeps the page of a large sweep small.
void add_pass_sections(HtmlReport &page, const QList<NamedSweep> &sweeps)
{
    for (const NamedSweep &sweep : sweeps) {
        for (const commands::SweepPassResult &pass : sweep.result.passes) {
            if (!searched(pass)) {
                continue;
            }
            const QList<Answer> &answers = pass.search.answers;
            const auto found = std::count_if(answers.begin(), answers.end(),
                                             [](const Answer &answer) { return answer.found; });
            ReportSection section;
            section.id = section_id(sweep.name, pass.radius, sweeps.size() > 1);
            section.caption = QString("Radius %1 (%2 search): %3 of %4 patterns found")
                                  .arg(pass.radius)
                                  .arg(sweep.name)
                                  .arg(found)
                                  .arg(answers.size());
            for (const ReportRow &row : failures_first_rows(answers, patterns_directory())) {
                if (row.answer.found && commands::accepted(row.answer)) {
                    section.named_only << row.answer.file;
                } else {
                    section.rows << row;
                }
            }
            page.sections << section;
        }
    }
}

void add_pattern_rows(HtmlReport &page, const NamedSweep &sweep)
{
    const commands::SweepPassResult *last = nullptr;
    for (const commands::SweepPassResult &pass : sweep.result.passes) {
        if (searched(pass)) {
            last = &pass;
        }
    }
    if (!last) {
        return;
    }
    page.rows_caption =
        QString("Patterns at radius %1 (%2 search), failures first; under each, the radii "
                "it was found at")
            .arg(last->radius)
            .arg(sweep.name);
    page.rows = failures_first_rows(last->search.answers, patterns_directory());
    for (ReportRow &row : page.rows) {
        for (const commands::SweepPassResult &pass : sweep.result.passes) {
            for (const Answer &answer : pass.search.answers) {
                if (answer.file == row.answer.file) {
                    row.passes.append({pass.radius, answer.found});
                }
            }
        }
    }
}

} // namespace

QList<SweepSeries> sweep_series(const QList<NamedSweep> &sweeps)
{
    QList<SweepSeries> all;
    for (const NamedSweep &sweep : sweeps) {
        SweepSeries series;
        series.name = sweep.name;
        for (const commands::SweepPassResult &pass : sweep.result.passes) {
            if (searched(pass)) {
                series.points.append(
                    {pass.radius, double(pass.search.rate), pass.search.ms_per_pattern()});
            }
        }
        all.append(series);
    }
    return all;
}

HtmlReport sweep_report(const QList<NamedSweep> &sweeps, const QString &workspace,
                        const QByteArray &plot_svg)
{
    QStringList names;
    for (const NamedSweep &sweep : sweeps) {
        names << sweep.name;
    }
    HtmlReport page;
    page.title = "Monster compare: " + workspace;
    page.summary = {
        {"settings",
         QString("radius 20 to 150, step divisor 1, %1 search").arg(names.join(" and "))},
        {"databases", QFileInfo(sweep_database_path(20)).path() + "/db3_ft1_N.ft1"},
        {"patterns", workspace + "/" + patterns_directory()}};
    add_rate_table(page, sweep_series(sweeps));
    page.plot_svg = plot_svg;
    if (!sweeps.isEmpty()) {
        add_pattern_rows(page, sweeps.last());
    }
    add_pass_sections(page, sweeps);
    return page;
}
