#include "cli/report.h"

#include <QStringList>

#include <charconv>

bool Report::open(const QString &path)
{
    if (path.isEmpty()) {
        return true;
    }
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::Truncate)) {
        return false;
    }
    m_file.write("radius\tpattern_file\tbase_name\tpicked_name\tbest_score\tx\ty\tfound\n");
    return true;
}

void Report::add(int radius, const commands::MultiResult &search)
{
    if (!m_file.isOpen()) {
        return;
    }
    for (const commands::PatternResult &pattern : search.patterns) {
        QStringList fields = {QString::number(radius), pattern.file, pattern.base_name,
                              pattern.picked_name()};
        if (pattern.best) {
            // The shortest text that reads back as the same float.
            char score[32];
            *std::to_chars(score, score + sizeof score - 1, pattern.best->score).ptr = '\0';
            fields << score << QString::number(pattern.best->x) << QString::number(pattern.best->y);
        } else {
            fields << ""
                   << ""
                   << "";
        }
        fields << (pattern.found ? "1" : "0");
        m_file.write((fields.join('\t') + "\n").toUtf8());
    }
}
