#pragma once
// The ".ft1" text as Qt's own stream and string conversions make and read it: the
// references for the faster writer and reader.

#include "maps/feature_map.h"

#include <QFile>
#include <QList>
#include <QString>
#include <QTextStream>

namespace reference {

inline QString stream_text(float value)
{
    QString text;
    QTextStream stream(&text);
    stream << value;
    stream.flush();
    return text;
}

inline float to_float(const QString &text)
{
    return text.toFloat();
}

// One record written through a QTextStream with default settings, as the builder writes it.
inline QByteArray record_text(const QString &name, int image_width, int image_height,
                              const FeatureMap &map)
{
    QByteArray bytes;
    QTextStream stream(&bytes, QIODevice::WriteOnly);
    stream << name << ";" << image_width << ";" << image_height << ";";
    stream << map.width << ";" << map.height << ";"
           << "\n";
    for (int r = 0; r < map.height; ++r) {
        for (int q = 0; q < map.width; ++q) {
            stream << map.values[q + r * map.width] << ";";
        }
        stream << "\n";
    }
    stream << "EOR"
           << "\n";
    stream.flush();
    return bytes;
}

struct LoadedDatabase {
    bool opened = false;
    QList<FeatureMap> maps;
    int count = 0;
};

// The loader step by step, for files that the builder writes: readLine, split at ";",
// toInt and toFloat.
inline LoadedDatabase load(const QString &path)
{
    LoadedDatabase result;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return result;
    }
    result.opened = true;
    QTextStream stream(&file);
    FeatureMap current;
    int row = 0;
    bool expecting_header = true;
    while (!stream.atEnd()) {
        const QString line = stream.readLine();
        if (line.isEmpty()) {
            continue;
        }
        const QStringList fields = line.split(";", Qt::KeepEmptyParts, Qt::CaseSensitive);
        if (fields[0] == "EOR") {
            if (!expecting_header) {
                result.maps.append(current);
                expecting_header = true;
            }
            continue;
        }
        if (expecting_header) {
            current = FeatureMap();
            current.name = fields[0];
            current.width = fields[3].toInt(nullptr, 10);
            current.height = fields[4].toInt(nullptr, 10);
            if (current.width > 0 && current.height > 0) {
                current = FeatureMap::allocate(current.width, current.height, current.name);
                expecting_header = false;
            }
            ++result.count;
            row = 0;
            continue;
        }
        for (int k = 0; k < fields.size() - 1; ++k) {
            current.values[row * current.width + k] = fields[k].toFloat();
        }
        ++row;
    }
    return result;
}

} // namespace reference
