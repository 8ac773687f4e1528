#include "cli/outputs.h"

#include "cli/cli_commands.h"
#include "support/atomic_file.h"
#include "support/shard.h"

#include <QJsonDocument>
#include <QStringList>

#include <charconv>
#include <cmath>
#include <cstdio>

namespace {

// The shortest text that reads back as the same float.
QString float_text(float value)
{
    char text[32];
    *std::to_chars(text, text + sizeof text - 1, value).ptr = '\0';
    return QString::fromLatin1(text);
}

QString ratio_text(const Answer &answer)
{
    const std::optional<double> ratio = answer.ratio();
    if (ratio) {
        return std::isinf(*ratio) ? QStringLiteral("inf") : QString::number(*ratio, 'g', 6);
    }
    return answer.best && answer.other_images ? QString(">%1").arg(answer.runner_up_reach())
                                              : QString();
}

// A float as JSON: numbers stay exact; values JSON cannot hold become null.
QJsonValue json_number(double value)
{
    return std::isfinite(value) ? QJsonValue(value) : QJsonValue();
}

// A text field of the report: a tab, line break, carriage return or backslash in a name would
// break its row, so they are escaped as \t, \n, \r and \\.
QString report_field(QString text)
{
    return text.replace('\\', "\\\\")
        .replace('\t', "\\t")
        .replace('\n', "\\n")
        .replace('\r', "\\r");
}

QJsonValue json_text(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

QJsonObject xy(int x, int y)
{
    return {{"x", x}, {"y", y}};
}

QJsonObject size_json(QSize size)
{
    return {{"width", size.width()}, {"height", size.height()}};
}

bool write_to(const QString &path, const QByteArray &bytes)
{
    if (path == "-") {
        std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
        std::fflush(stdout);
        return true;
    }
    AtomicFile file(path);
    if (file.open() && file.write(bytes) && file.commit()) {
        return true;
    }
    print_failure(QString("%1: %2").arg(path, file.error()));
    return false;
}

} // namespace

QByteArray report_header()
{
    return "radius\tpattern_file\tbase_name\tpicked_name\tbest_score\tx\ty\tfound\t"
           "found_image\tcrop_x\tcrop_y\tcrop_width\tcrop_height\tcrop_tolerance\tphase_x\t"
           "phase_y\tmap_width\tmap_height\tcells\trunner_up_name\trunner_up_score\tratio\t"
           "verdict\n";
}

QByteArray report_rows(int radius, const QList<Answer> &answers)
{
    QByteArray rows;
    for (const Answer &answer : answers) {
        QStringList fields = {QString::number(answer.radius > 0 ? answer.radius : radius),
                              report_field(answer.file), report_field(answer.base_name),
                              report_field(answer.picked_name)};
        if (answer.best) {
            fields << float_text(answer.best->score) << QString::number(answer.best->x)
                   << QString::number(answer.best->y);
        } else {
            fields << ""
                   << ""
                   << "";
        }
        fields << (answer.found ? "1" : "0") << report_field(answer.found_image);
        if (answer.best) {
            fields << QString::number(answer.crop.x()) << QString::number(answer.crop.y())
                   << QString::number(answer.crop.width()) << QString::number(answer.crop.height())
                   << QString::number(answer.tolerance);
        } else {
            fields << ""
                   << ""
                   << ""
                   << ""
                   << "";
        }
        fields << QString::number(answer.phase.x()) << QString::number(answer.phase.y())
               << QString::number(answer.map_size.width())
               << QString::number(answer.map_size.height()) << QString::number(answer.cells());
        if (answer.runner_up) {
            fields << report_field(answer.runner_up->name) << float_text(answer.runner_up->score);
        } else {
            fields << ""
                   << "";
        }
        fields << ratio_text(answer) << verdict_text(answer.verdict);
        rows += (fields.join('\t') + "\n").toUtf8();
    }
    return rows;
}

QJsonObject answer_json(const Answer &answer)
{
    QJsonObject json{{"file", answer.file},
                     {"base_name", answer.base_name},
                     {"pattern_size", size_json(answer.pattern_size)},
                     {"picked_name", json_text(answer.picked_name)},
                     {"found", answer.found},
                     {"verdict", verdict_text(answer.verdict)},
                     {"found_image", json_text(answer.found_image)},
                     {"phase", xy(answer.phase.x(), answer.phase.y())},
                     {"map_size", size_json(answer.map_size)},
                     {"cells", double(answer.cells())}};
    if (answer.best) {
        json["score"] = json_number(answer.best->score);
        json["cell"] = xy(answer.best->x, answer.best->y);
        QJsonObject crop = size_json(answer.crop.size());
        crop["x"] = answer.crop.x();
        crop["y"] = answer.crop.y();
        crop["tolerance"] = answer.tolerance;
        json["crop"] = crop;
    } else {
        json["score"] = QJsonValue();
        json["cell"] = QJsonValue();
        json["crop"] = QJsonValue();
    }
    if (answer.runner_up) {
        json["runner_up"] = QJsonObject{{"name", answer.runner_up->name},
                                        {"score", json_number(answer.runner_up->score)},
                                        {"cell", xy(answer.runner_up->x, answer.runner_up->y)}};
    } else {
        json["runner_up"] = QJsonValue();
    }
    const QString ratio = ratio_text(answer);
    json["ratio"] = answer.ratio() && !std::isinf(*answer.ratio()) ? QJsonValue(*answer.ratio())
                    : ratio.isEmpty()                              ? QJsonValue()
                                                                   : QJsonValue(ratio);
    // The indexed search: how the pick was made and what it was compared with.
    if (answer.mode == SearchMode::indexed) {
        json["magnitude"] = json_number(answer.magnitude);
        json["found_by"] = answer.picked_by == PickedBy::exact ? "exact match" : "votes";
        json["scale"] = answer.scale;
        json["angle"] = answer.angle;
        if (answer.radius > 0) {
            json["radius"] = answer.radius;
        }
        if (answer.picked_by == PickedBy::votes) {
            json["votes"] = answer.votes;
            json["unrelated"] = answer.unrelated;
            json["unrelated_median"] = json_number(answer.unrelated_median);
            json["fitted_score"] = json_number(answer.fitted_score);
            json["gain"] = answer.gain;
        }
    }
    return json;
}

QJsonObject database_json(const QString &path, const commands::LoadResult &loaded)
{
    QJsonObject json{{"path", path}, {"opened", loaded.opened}};
    if (!loaded.opened) {
        json["error"] = loaded.error;
        return json;
    }
    json["records"] = loaded.database.records.size();
    json["maps"] = loaded.database.maps.size();
    json["malformed_lines"] = loaded.problems;
    return json;
}

Outputs::Outputs(const QString &report_path, const QString &json_path)
    : m_report_path(report_path)
    , m_json_path(json_path)
{}

bool Outputs::write() const
{
    // Processes sharing the work have the same outputs: the lead process writes them.
    if (!lead_process()) {
        return true;
    }
    bool written = true;
    if (report_wanted()) {
        written &= write_to(m_report_path, report_header() + m_report);
    }
    if (json_wanted()) {
        written &= write_to(m_json_path, QJsonDocument(m_json).toJson(QJsonDocument::Indented));
    }
    for (const auto &file : m_files) {
        written &= write_to(file.first, file.second);
    }
    return written;
}
