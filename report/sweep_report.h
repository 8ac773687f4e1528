#pragma once
// A radius sweep (Monster compare) for people: the lines of its plot and its HTML page.

#include "commands/commands.h"
#include "report/html_report.h"
#include "report/sweep_plot.h"

#include <QByteArray>
#include <QList>
#include <QString>

// One sweep, named by its search ("literal", "aligned").
struct NamedSweep {
    QString name;
    commands::SweepResult result;
};

// A line of the plot per sweep: the rate and time per pattern of every pass that searched.
QList<SweepSeries> sweep_series(const QList<NamedSweep> &sweeps);

// The page of the sweeps run one after the other in the workspace folder `workspace`: the
// summary, the rate and time per pattern by radius of each sweep, the plot, and the patterns of
// the last sweep's last pass that searched, failures first, each with the radii it was found at;
// then a section per pass that searched, linked from the table's rates: the rows of its patterns
// not found or not accepted, then the names of the others.
HtmlReport sweep_report(const QList<NamedSweep> &sweeps, const QString &workspace,
                        const QByteArray &plot_svg);
