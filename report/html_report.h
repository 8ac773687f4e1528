#pragma once
// One self-contained HTML page for a search, a multi search or a sweep: a summary, the sweep's
// plot, then one row per pattern with the pattern and the found image (thumbnails embedded,
// the located crop drawn on the found image; beside a wrong pick, the true image), the
// verdict, the score and the runner-up; failures first. A sweep's page adds a section per
// radius, linked from its table. The page is well-formed XHTML, so that it can be read back as
// XML.

#include "evaluation/answer.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

struct ReportRow {
    Answer answer;
    QString pattern_path;           // the pattern's file, for its thumbnail
    QList<QPair<int, bool>> passes; // a sweep: found or not at each radius
};

// Rows under a heading that can be linked to.
struct ReportSection {
    QString id; // the anchor: "#" + id links to it
    QString caption;
    QList<ReportRow> rows;
    QStringList named_only; // patterns listed by name after the rows, without thumbnails
};

struct HtmlReport {
    QString title;
    QList<QPair<QString, QString>> summary; // label, value
    QByteArray plot_svg;                    // shown when not empty
    QStringList table_header;               // a table of figures under the summary, if any
    QList<QStringList> table_rows;
    QList<QStringList> table_links; // beside table_rows: the id a cell links to, or empty
    QString rows_caption;           // what the rows are
    QList<ReportRow> rows;
    QList<ReportSection> sections; // after the rows
};

QByteArray html_report(const HtmlReport &report);

// The order of the rows: patterns not found first, then by verdict from the weakest, then by
// file name.
void sort_failures_first(QList<ReportRow> &rows);

// The rows of the answers for the patterns in `folder`, failures first.
QList<ReportRow> failures_first_rows(const QList<Answer> &answers, const QString &folder);
