#pragma once
// One self-contained HTML page for a search, a multi search or a sweep: a summary, the sweep's
// plot, then one row per pattern with the pattern and the found image (thumbnails embedded,
// the located crop drawn on the found image), the verdict, the score and the runner-up;
// failures first. The page is well-formed XHTML, so that it can be read back as XML.

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

struct HtmlReport {
    QString title;
    QList<QPair<QString, QString>> summary; // label, value
    QByteArray plot_svg;                    // shown when not empty
    QStringList table_header;               // a table of figures under the summary, if any
    QList<QStringList> table_rows;
    QString rows_caption; // what the rows are
    QList<ReportRow> rows;
};

QByteArray html_report(const HtmlReport &report);

// The order of the rows: patterns not found first, then by verdict from the weakest, then by
// file name.
void sort_failures_first(QList<ReportRow> &rows);

// The rows of the answers for the patterns in `folder`, failures first.
QList<ReportRow> failures_first_rows(const QList<Answer> &answers, const QString &folder);
