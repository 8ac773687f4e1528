#pragma once
// The radius sweep drawn for people: success rate and search time per pattern against the
// radius, one line per search mode, as an SVG image.

#include <QByteArray>
#include <QList>
#include <QString>

struct SweepPoint {
    int radius = 0;
    double rate = 0;           // in %
    double ms_per_pattern = 0; // search time per pattern
};

struct SweepSeries {
    QString name; // "literal", "aligned"
    QList<SweepPoint> points;
};

// Two panels side by side, sharing the radius axis and the legend.
QByteArray sweep_plot_svg(const QList<SweepSeries> &series, const QString &title);
