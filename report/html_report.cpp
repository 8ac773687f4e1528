#include "report/html_report.h"

#include "maps/image_file.h"

#include <QBuffer>
#include <QFileInfo>
#include <QHash>
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

struct Thumbnail {
    QImage image; // null when the file gives no image
    double scale = 1;
};

Thumbnail thumbnail(const QString &path, int side)
{
    const ImageRead read = read_image_file(path);
    if (read.image.isNull()) {
        return {};
    }
    const QImage image = read.image.convertToFormat(QImage::Format_RGB32);
    QImage small = image.width() > side || image.height() > side
                       ? image.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                       : image;
    return {small, double(small.width()) / image.width()};
}

// The thumbnails of a page, each file read once however many rows show it (a sweep's page
// shows every pattern at every radius).
class Thumbnails
{
public:
    // The image's data URI, or an empty text.
    QString plain(const QString &path, int side)
    {
        const QString key = QString::number(side) + ":" + path;
        if (!m_uris.contains(key)) {
            const Thumbnail &small = scaled(path, side);
            m_uris.insert(key, small.image.isNull() ? QString() : jpeg_uri(small.image));
        }
        return m_uris.value(key);
    }

    // With the answer's crop drawn on it.
    QString with_crop(const QString &path, int side, const Answer &answer)
    {
        const Thumbnail &small = scaled(path, side);
        if (small.image.isNull() || !answer.best) {
            return plain(path, side);
        }
        QImage image = small.image;
        QPainter painter(&image);
        // Wide enough to stay red through the JPEG's halved colour resolution on any background.
        painter.setPen(QPen(QColor("#e0162b"), 4));
        const double scale = small.scale;
        const QRectF crop(answer.crop.x() * scale, answer.crop.y() * scale,
                          answer.crop.width() * scale, answer.crop.height() * scale);
        painter.drawRect(crop.adjusted(2, 2, -2, -2));
        painter.end();
        return jpeg_uri(image);
    }

private:
    const Thumbnail &scaled(const QString &path, int side)
    {
        const QString key = QString::number(side) + ":" + path;
        if (!m_scaled.contains(key)) {
            m_scaled.insert(key, thumbnail(path, side));
        }
        return m_scaled[key];
    }

    QHash<QString, Thumbnail> m_scaled;
    QHash<QString, QString> m_uris;
};

// Where the image a pattern was cut from is, when the pattern's name says it: as the found
// image is looked for, under the pattern's base name.
QString true_image_path(const Answer &answer)
{
    const QString folder =
        answer.found_image.isEmpty() ? QString("database") : QFileInfo(answer.found_image).path();
    return folder + "/" + answer.base_name + "." + QFileInfo(answer.file).suffix();
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

// `kind`: "pattern", "found" or "true" (the image the pattern was cut from).
QString image_cell(const QString &kind, const QString &uri, const QString &missing)
{
    return uri.isEmpty() ? "<div class=\"missing\">" + escaped(missing) + "</div>"
                         : "<img class=\"" + kind + "\" src=\"" + uri + "\" alt=\"\"/>";
}

QString row_html(const ReportRow &row, Thumbnails &thumbnails)
{
    const Answer &a = row.answer;
    const QString pattern_uri = thumbnails.plain(row.pattern_path, pattern_thumbnail);
    const QString found_uri = a.found_image.isEmpty()
                                  ? QString()
                                  : thumbnails.with_crop(a.found_image, found_thumbnail, a);
    // A clear best that is another image is a wrong pick, whatever the search's verdict.
    const bool wrong_pick = !a.found && !a.picked_name.isEmpty();
    QString true_image;
    if (wrong_pick) {
        const QString uri = thumbnails.plain(true_image_path(a), pattern_thumbnail);
        if (!uri.isEmpty()) {
            true_image = "<div class=\"name\">picked: " + escaped(a.picked_name) + "</div>" +
                         image_cell("true", uri, QString()) +
                         "<div class=\"name\">true image: " + escaped(a.base_name) + "</div>";
        }
    }
    QString facts;
    auto fact = [&](const QString &label, const QString &value) {
        facts += "<tr><th>" + escaped(label) + "</th><td>" + escaped(value) + "</td></tr>";
    };
    const QString badge = wrong_pick ? QString("wrong image") : verdict_text(a.verdict);
    fact("picked", a.picked_name.isEmpty() ? QString("nothing") : a.picked_name);
    if (!a.found) {
        fact("true image", a.base_name);
    }
    if (wrong_pick) {
        fact("verdict", verdict_text(a.verdict));
    }
    if (a.best) {
        fact("score", QString("%1 over %2 cells%3")
                          .arg(double(a.best->score), 0, 'g', 6)
                          .arg(a.cells())
                          .arg(a.radius > 0 ? QString(" at radius %1").arg(a.radius) : QString()));
        // Only a crop at its image's own size and angle is placed exactly.
        const QString changes = crop_changes(a);
        const QString how = a.tolerance > 0     ? QString(" (within %1 px)").arg(a.tolerance)
                            : changes.isEmpty() ? QString(" (exact)")
                                                : QString(" (the crop %1)").arg(changes);
        fact("crop", QString("x %1, y %2, %3 x %4%5")
                         .arg(a.crop.x())
                         .arg(a.crop.y())
                         .arg(a.crop.width())
                         .arg(a.crop.height())
                         .arg(how));
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
           image_cell("pattern", pattern_uri, "no image") + "<div class=\"name\">" +
           escaped(a.file) + "</div></td><td class=\"thumb\">" +
           image_cell("found", found_uri, "no found image") + true_image +
           "</td><td><div class=\"verdict\">" + escaped(badge) + "</div>" +
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
td.thumb img.true { border: 2px solid #2e7d32; }
table.figures a, a.back { color: #1f5fa8; }
a.back { font-size: 12px; font-weight: normal; }
p.named { background: #fff; margin: 0; padding: 8px; border-top: 1px solid #dde; }
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

// `back`: a link to the table of figures beside the caption.
QString rows_html(const QString &caption, const QList<ReportRow> &rows, Thumbnails &thumbnails,
                  bool back = false)
{
    QString html = "<h2>" + escaped(caption) +
                   (back ? " <a class=\"back\" href=\"#figures\">(back to the table)</a>" : "") +
                   "</h2>\n<table class=\"rows\"><tbody>\n";
    for (const ReportRow &row : rows) {
        html += row_html(row, thumbnails);
    }
    return html + "</tbody></table>\n";
}

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
        page += "<table class=\"figures\" id=\"figures\"><tr>";
        for (const QString &cell : report.table_header) {
            page += "<th>" + escaped(cell) + "</th>";
        }
        page += "</tr>";
        for (int r = 0; r < report.table_rows.size(); ++r) {
            const QStringList &row = report.table_rows[r];
            const QStringList links = report.table_links.value(r);
            page += "<tr>";
            for (int c = 0; c < row.size(); ++c) {
                const QString link = links.value(c);
                page += link.isEmpty()
                            ? "<td>" + escaped(row[c]) + "</td>"
                            : "<td><a href=\"#" + link + "\">" + escaped(row[c]) + "</a></td>";
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
    Thumbnails thumbnails;
    page += rows_html(report.rows_caption, report.rows, thumbnails);
    for (const ReportSection &section : report.sections) {
        page += "<div class=\"section\" id=\"" + escaped(section.id) + "\">" +
                rows_html(section.caption, section.rows, thumbnails, true);
        if (!section.named_only.isEmpty()) {
            page += "<p class=\"named\">Found as they stand: " +
                    escaped(section.named_only.join(", ")) + "</p>";
        }
        page += "</div>\n";
    }
    page += "</body>\n</html>\n";
    return page.toUtf8();
}
