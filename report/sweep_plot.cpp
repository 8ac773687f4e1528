#include "report/sweep_plot.h"

#include <QBuffer>
#include <QPainter>
#include <QPainterPath>
#include <QSvgGenerator>

#include <algorithm>
#include <cmath>

namespace {

constexpr int width = 960;
constexpr int height = 400;
const QColor series_colours[] = {QColor("#1f5fa8"), QColor("#e07b00"), QColor("#3a8a3a")};

// Round steps of 1, 2 or 5 times a power of ten, about `count` of them up to `top`.
double tick_step(double top, int count)
{
    const double raw = top / count;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double factor : {1.0, 2.0, 5.0, 10.0}) {
        if (factor * power >= raw) {
            return factor * power;
        }
    }
    return 10 * power;
}

QString tick_text(double value)
{
    return QString::number(value, 'g', 6);
}

struct Panel {
    QRectF area; // the plotting area inside the axes
    double x_low;
    double x_high;
    double y_high;

    QPointF at(double x, double y) const
    {
        const double sx = (x - x_low) / (x_high - x_low);
        return {area.left() + sx * area.width(), area.bottom() - y / y_high * area.height()};
    }
};

void draw_panel(QPainter &painter, const Panel &panel, const QString &title, const QString &y_label,
                const QList<SweepSeries> &series, bool rate, const QList<int> &radii)
{
    const QFont normal("DejaVu Sans", 10);
    painter.setFont(QFont("DejaVu Sans", 11, QFont::Bold));
    painter.setPen(Qt::black);
    painter.drawText(QRectF(panel.area.left(), panel.area.top() - 34, panel.area.width(), 20),
                     Qt::AlignCenter, title);
    painter.setFont(normal);
    // Grid and y ticks.
    const double step = rate ? 20 : tick_step(panel.y_high, 5);
    for (double y = 0; y <= panel.y_high + 1e-9; y += step) {
        const QPointF left = panel.at(panel.x_low, y);
        painter.setPen(QPen(QColor("#dddddd"), 1));
        painter.drawLine(left, panel.at(panel.x_high, y));
        painter.setPen(Qt::black);
        painter.drawText(QRectF(left.x() - 58, left.y() - 8, 52, 16),
                         Qt::AlignRight | Qt::AlignVCenter, tick_text(y));
    }
    // x ticks at the radii, each labelled; a smaller font where they stand close.
    painter.setFont(radii.size() <= 8 ? normal : QFont("DejaVu Sans", 7));
    for (int radius : radii) {
        const QPointF bottom = panel.at(radius, 0);
        painter.setPen(Qt::black);
        painter.drawLine(bottom, bottom + QPointF(0, 4));
        painter.drawText(QRectF(bottom.x() - 20, bottom.y() + 6, 40, 16), Qt::AlignCenter,
                         QString::number(radius));
    }
    painter.setFont(normal);
    painter.setPen(QPen(Qt::black, 1.5));
    painter.drawLine(panel.area.bottomLeft(), panel.area.bottomRight());
    painter.drawLine(panel.area.bottomLeft(), panel.area.topLeft());
    painter.drawText(QRectF(panel.area.left(), panel.area.bottom() + 24, panel.area.width(), 18),
                     Qt::AlignCenter, "window radius (pixels)");
    painter.save();
    painter.translate(panel.area.left() - 66, panel.area.center().y());
    painter.rotate(-90);
    painter.drawText(QRectF(-panel.area.height() / 2, -10, panel.area.height(), 20),
                     Qt::AlignCenter, y_label);
    painter.restore();
    // The lines, with a mark at each radius.
    for (int s = 0; s < series.size(); ++s) {
        const QColor colour = series_colours[s % 3];
        QPainterPath path;
        bool first = true;
        for (const SweepPoint &point : series[s].points) {
            const QPointF at = panel.at(point.radius, rate ? point.rate : point.ms_per_pattern);
            first ? path.moveTo(at) : path.lineTo(at);
            first = false;
        }
        painter.setPen(QPen(colour, 2.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(path);
        painter.setBrush(colour);
        for (const SweepPoint &point : series[s].points) {
            painter.drawEllipse(panel.at(point.radius, rate ? point.rate : point.ms_per_pattern),
                                3.5, 3.5);
        }
    }
}

} // namespace

QByteArray sweep_plot_svg(const QList<SweepSeries> &series, const QString &title)
{
    QList<int> radii;
    double slowest = 0;
    for (const SweepSeries &s : series) {
        for (const SweepPoint &point : s.points) {
            if (!radii.contains(point.radius)) {
                radii.append(point.radius);
            }
            slowest = std::max(slowest, point.ms_per_pattern);
        }
    }
    std::sort(radii.begin(), radii.end());
    const double x_low = radii.isEmpty() ? 0 : radii.first();
    const double x_high = radii.size() < 2 ? x_low + 1 : radii.last();
    const double time_top =
        slowest > 0 ? std::ceil(slowest / tick_step(slowest, 5)) * tick_step(slowest, 5) : 1;

    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QSvgGenerator generator;
    generator.setOutputDevice(&buffer);
    generator.setSize(QSize(width, height));
    generator.setResolution(96); // so that its size in millimetres is width x height pixels
    generator.setViewBox(QRect(0, 0, width, height));
    generator.setTitle(title);
    generator.setDescription("Success rate and search time per pattern against the radius");
    QPainter painter(&generator);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(QRect(0, 0, width, height), Qt::white);
    painter.setFont(QFont("DejaVu Sans", 13, QFont::Bold));
    painter.drawText(QRect(0, 8, width, 24), Qt::AlignCenter, title);

    const Panel rate_panel{QRectF(95, 80, 330, 240), x_low, x_high, 100};
    const Panel time_panel{QRectF(565, 80, 330, 240), x_low, x_high, time_top};
    draw_panel(painter, rate_panel, "Success rate", "patterns found (%)", series, true, radii);
    draw_panel(painter, time_panel, "Search time", "ms per pattern", series, false, radii);

    // The legend, under the title.
    painter.setFont(QFont("DejaVu Sans", 10));
    double x = width / 2.0 - 90.0 * series.size() / 2;
    for (int s = 0; s < series.size(); ++s) {
        const QColor colour = series_colours[s % 3];
        painter.setPen(QPen(colour, 3));
        painter.drawLine(QPointF(x, 44), QPointF(x + 24, 44));
        painter.setPen(Qt::black);
        painter.drawText(QRectF(x + 30, 36, 60, 16), Qt::AlignLeft | Qt::AlignVCenter,
                         series[s].name);
        x += 90;
    }
    painter.end();
    return bytes;
}
