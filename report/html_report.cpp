#include "report/html_report.h"

#include "maps/image_file.h"

#include <QBuffer>
#include <QImage>
#include <QPainter>

#include <algorithm>
#include <tuple>
#include <vector>

namespace {

constexpr int pattern_thumbnail = 180;
constexpr int found_thumbnail = 260;

QString escaped(const QString &text)
{
    return text.toHtmlEscaped();
}

QString jpeg_uri(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 82);
    return "data:image/jpeg;base64," + QString::fromLatin1(bytes.toBase64());
}

QImage thumbnail(const QString &path, int side, double *scale)
{
    const ImageRead read = read_image_file(path);
    if (read.image.isNull()) {
        return QImage();
    }
    const QImage image = read.image.convertToFormat(QImage::Format_RGB32);
    QImage small = image.width() > side || image.height() > side
                       ? image.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                       : image;
    if (scale) {
        *scale = double(small.width()) / image.width();
    }
    return small;
}

int verdict_rank(Verdict verdict)
{
    switch (verdict) {
    case Verdict::not_found:
        return 0;
    case Verdict::ambiguous:
        return 1;
    case Verdict::no_window:
        return 2;
    case Verdict::no_cells:
        return 3;
    case Verdict::too_small:
        return 4;
    case Verdict::found:
        return 5;
    case Verdict::exact:
        return 6;
    }
    return 0;
}

QString verdict_class(const Answer &answer)
{
    if (!answer.found) {
        return "bad";
    }
    return answer.verdict == Verdict::found || answer.verdict == Verdict::exact ? "good" : "warn";
}

QString image_cell(const QString &uri, const QString &missing)
{
    return uri.isEmpty() ? "<div class=\"missing\">" + escaped(missing) + "</div>"
                         : "<img src=\"" + uri + "\" alt=\"\"/>";
}

QString row_html(const ReportRow &row)
{
    const Answer &a = row.answer;
    QString pattern_uri;
    const QImage pattern = thumbnail(row.pattern_path, pattern_thumbnail, nullptr);
    if (!pattern.isNull()) {
        pattern_uri = jpeg_uri(pattern);
    }
    QString found_uri;
    if (!a.found_image.isEmpty()) {
        double scale = 1;
        QImage found = thumbnail(a.found_image, found_thumbnail, &scale);
        if (!found.isNull()) {
            if (a.best) {
                QPainter painter(&found);
                painter.setPen(QPen(QColor("#e0162b"), 2));
                const QRectF crop(a.crop.x() * scale, a.crop.y() * scale, a.crop.width() * scale,
                                  a.crop.height() * scale);
                painter.drawRect(crop.adjusted(1, 1, -1, -1));
            }
            found_uri = jpeg_uri(found);
        }
    }
    QString facts;
    auto fact = [&](const QString &label, const QString &value) {
        facts += "<tr><th>" + escaped(label) + "</th><td>" + escaped(value) + "</td></tr>";
    };
    fact("picked", a.picked_name.isEmpty() ? QString("nothing") : a.picked_name);
    if (!a.found) {
        fact("true image", a.base_name);
    }
    if (a.best) {
        fact("score",
             QString("%1 over %2 cells").arg(double(a.best->score), 0, 'g', 6).arg(a.cells()));
        fact("crop", QString("x %1, y %2, %3 x %4%5")
                         .arg(a.crop.x())
                         .arg(a.crop.y())
                         .arg(a.crop.width())
                         .arg(a.crop.height())
                         .arg(a.tolerance > 0 ? QString(" (within %1 px)").arg(a.tolerance)
                                              : QString(" (exact)")));
    }
    if (a.runner_up) {
        const std::optional<double> ratio = a.ratio();
        fact("runner-up", QString("%1, %2 times the best")
                              .arg(a.runner_up->name)
                              .arg(ratio ? QString::number(*ratio, 'g', 3) : QString("?")));
    } else if (a.best) {
        fact("runner-up", "none close");
    }
    QString strip;
    if (!row.passes.isEmpty()) {
        strip = "<div class=\"strip\">";
        for (const auto &pass : row.passes) {
            strip += QString("<span class=\"%1\" title=\"radius %2\">%2</span>")
                         .arg(pass.second ? "hit" : "miss")
                         .arg(pass.first);
        }
        strip += "</div>";
    }
    return "<tr class=\"" + verdict_class(a) + "\"><td class=\"thumb\">" +
           image_cell(pattern_uri, "no image") + "<div class=\"name\">" + escaped(a.file) +
           "</div></td><td class=\"thumb\">" + image_cell(found_uri, "no found image") +
           "</td><td><div class=\"verdict\">" + escaped(verdict_text(a.verdict)) + "</div>" +
           "<table class=\"facts\">" + facts + "</table>" + strip + "</td></tr>\n";
}

const char *style = R"(
body { font-family: "DejaVu Sans", sans-serif; margin: 24px; color: #1d2833; background: #f6f7f9; }
h1 { font-size: 22px; margin: 0 0 12px 0; }
h2 { font-size: 17px; margin: 22px 0 8px 0; }
table.summary { border-collapse: collapse; background: #fff; }
table.summary th { text-align: left; padding: 4px 16px 4px 8px; color: #56606b; font-weight: normal; }
table.summary td { padding: 4px 8px; font-weight: bold; }
table.figures { border-collapse: collapse; background: #fff; margin-top: 12px; }
table.figures th, table.figures td { padding: 3px 10px; border: 1px solid #dde; text-align: right; }
img.plot { background: #fff; border: 1px solid #ccd; max-width: 100%; }
table.rows { border-collapse: collapse; width: 100%; background: #fff; }
table.rows > tbody > tr > td { border-top: 1px solid #dde; padding: 8px; vertical-align: top; }
td.thumb { width: 270px; text-align: center; }
td.thumb img { border: 1px solid #99a; }
div.name { font-size: 12px; margin-top: 4px; }
div.missing { width: 180px; height: 60px; line-height: 60px; color: #889; border: 1px dashed #aab; margin: auto; }
div.verdict { font-weight: bold; font-size: 16px; padding: 2px 8px; display: inline-block; border-radius: 4px; color: #fff; }
tr.good div.verdict { background: #2e7d32; }
tr.warn div.verdict { background: #c77700; }
tr.bad div.verdict { background: #c62828; }
table.facts th { text-align: left; color: #56606b; font-weight: normal; padding: 2px 12px 2px 0; }
table.facts td { padding: 2px 0; }
div.strip span { display: inline-block; font-size: 10px; width: 26px; text-align: center; margin: 1px; color: #fff; }
span.hit { background: #2e7d32; }
span.miss { background: #c62828; }
)";

} // namespace

void sort_failures_first(QList<ReportRow> &rows)
{
    // The rows are ordered through their indexes, and copied once.
    std::vector<int> order(static_cast<std::size_t>(rows.size()));
    for (int k = 0; k < rows.size(); ++k) {
        order[static_cast<std::size_t>(k)] = k;
    }
    const auto key = [&](int k) {
        const Answer &answer = rows[k].answer;
        return std::make_tuple(answer.found ? 1 : 0, verdict_rank(answer.verdict), answer.file);
    };
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return key(a) < key(b); });
    QList<ReportRow> sorted;
    for (int k : order) {
        sorted.append(rows[k]);
    }
    rows = sorted;
}

QList<ReportRow> failures_first_rows(const QList<Answer> &answers, const QString &folder)
{
    QList<ReportRow> rows;
    for (const Answer &answer : answers) {
        rows.append({answer, folder + "/" + answer.file, {}});
    }
    sort_failures_first(rows);
    return rows;
}

QByteArray html_report(const HtmlReport &report)
{
    QString page = "<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\">\n"
                   "<head><meta charset=\"utf-8\"/><title>" +
                   escaped(report.title) + "</title><style>" + style + "</style></head>\n<body>\n";
    page += "<h1>" + escaped(report.title) + "</h1>\n<table class=\"summary\">";
    for (const auto &line : report.summary) {
        page +=
            "<tr><th>" + escaped(line.first) + "</th><td>" + escaped(line.second) + "</td></tr>";
    }
    page += "</table>\n";
    if (!report.table_header.isEmpty()) {
        page += "<table class=\"figures\"><tr>";
        for (const QString &cell : report.table_header) {
            page += "<th>" + escaped(cell) + "</th>";
        }
        page += "</tr>";
        for (const QStringList &row : report.table_rows) {
            page += "<tr>";
            for (const QString &cell : row) {
                page += "<td>" + escaped(cell) + "</td>";
            }
            page += "</tr>";
        }
        page += "</table>\n";
    }
    if (!report.plot_svg.isEmpty()) {
        page += "<h2>Sweep</h2>\n<img class=\"plot\" alt=\"success rate and time against the "
                "radius\" src=\"data:image/svg+xml;base64," +
                QString::fromLatin1(report.plot_svg.toBase64()) + "\"/>\n";
    }
    page += "<h2>" + escaped(report.rows_caption) + "</h2>\n<table class=\"rows\"><tbody>\n";
    for (const ReportRow &row : report.rows) {
        page += row_html(row);
    }
    page += "</tbody></table>\n</body>\n</html>\n";
    return page.toUtf8();
}
