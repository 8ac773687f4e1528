#pragma once
// The machine-readable outputs of pictrace-cli: the --report table and the --json document.
// Both are gathered while the command runs and written when it has succeeded, aside and then in
// place of the target, so that a failed command leaves an earlier file untouched; "-" stands
// for standard output.

#include "commands/commands.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>

// The report's header line and its rows for the answers of one search at `radius`.
QByteArray report_header();
QByteArray report_rows(int radius, const QList<Answer> &answers);

QJsonObject answer_json(const Answer &answer);
QJsonObject database_json(const QString &path, const commands::LoadResult &loaded);

class Outputs
{
public:
    Outputs(const QString &report_path, const QString &json_path);

    bool report_wanted() const { return !m_report_path.isEmpty(); }
    bool json_wanted() const { return !m_json_path.isEmpty(); }
    void add_report(const QByteArray &rows) { m_report += rows; }
    QJsonObject &json() { return m_json; }
    // Another file (a page, a plot), written with the others.
    void add_file(const QString &path, const QByteArray &bytes) { m_files.append({path, bytes}); }

    // Writes the outputs; on failure prints "pictrace-cli: PATH: why" and returns false.
    bool write() const;

private:
    QString m_report_path;
    QString m_json_path;
    QByteArray m_report;
    QJsonObject m_json;
    QList<QPair<QString, QByteArray>> m_files;
};
