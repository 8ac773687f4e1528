#include "ft1/ft1_writer.h"

#include "ft1/ft1_number.h"

#include <QTextCodec>

QString ft1_name_problem(const QString &name)
{
    if (name == QLatin1String("EOR")) {
        return QStringLiteral("\"EOR\" would end its record");
    }
    if (name.contains(QLatin1Char(';'))) {
        return QStringLiteral("a \";\" would split its record");
    }
    if (name.contains(QLatin1Char('\n')) || name.contains(QLatin1Char('\r'))) {
        return QStringLiteral("a line break would split its record");
    }
    return QString();
}

QByteArray encode_ft1_name(const QString &name)
{
    return QTextCodec::codecForLocale()->fromUnicode(name);
}

namespace {

void append_number(QByteArray &out, int value)
{
    out.append(QByteArray::number(value));
    out.append(';');
}

} // namespace

void append_ft1_record(QByteArray &out, const QByteArray &encoded_name, int image_width,
                       int image_height, const FeatureMap &descriptor)
{
    out.append(encoded_name);
    out.append(';');
    append_number(out, image_width);
    append_number(out, image_height);
    append_number(out, descriptor.width);
    append_number(out, descriptor.height);
    out.append('\n');
    const int columns = descriptor.has_values() ? descriptor.width : 0;
    char text[ft1_value_max_length + 1];
    for (int r = 0; r < descriptor.height; ++r) {
        const float *row = columns > 0 ? descriptor.data() + qint64(r) * columns : nullptr;
        for (int q = 0; q < columns; ++q) {
            char *end = format_ft1_value(row[q], text);
            *end++ = ';';
            out.append(text, static_cast<int>(end - text));
        }
        out.append('\n');
    }
    out.append("EOR\n");
}
