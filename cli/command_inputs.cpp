#include "cli/command_inputs.h"

#include "commands/commands.h"
#include "ft1/ft1_index.h"
#include "support/checksum.h"
#include "support/shard.h"

#include <QDataStream>
#include <QDir>
#include <QFileInfo>
#include <QMap>

namespace {

QStringList sweep_databases()
{
    QStringList paths;
    for (int radius : sweep_radii()) {
        paths << sweep_database_path(radius);
    }
    return paths;
}

QFileInfoList listed(const QString &folder)
{
    return QDir(folder).entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
}

// What tells one input from another version of it: its size and checksum, or why it is not
// read.
QString file_state(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        return "absent";
    }
    if (!info.isFile()) { // never waits on a pipe
        return "not a regular file";
    }
    const FileChecksum sum = file_checksum(path);
    return sum.ok
               ? QString("%1 bytes, checksum %2").arg(sum.bytes).arg(sum.value, 16, 16, QChar('0'))
               : sum.error;
}

QMap<QString, QString> input_states(const CommandFiles &files)
{
    QMap<QString, QString> states;
    for (const QString &path : files.files) {
        states.insert(path, file_state(path));
    }
    for (const QString &folder : files.folders) {
        states.insert(folder + "/", QFileInfo(folder).isDir() ? "a folder" : "absent");
        for (const QFileInfo &file : listed(folder)) {
            states.insert(folder + "/" + file.fileName(), QString("%1 bytes").arg(file.size()));
        }
    }
    return states;
}

} // namespace

CommandFiles command_files(const QString &command, const CliOptions &options,
                           const QStringList &args)
{
    CommandFiles files;
    const QList<QPair<QString, QString>> given = {{"--report", options.report},
                                                  {"--json", options.json},
                                                  {"--html", options.html},
                                                  {"--plot", options.plot}};
    for (const auto &output : given) {
        if (!output.second.isEmpty() && output.second != "-") {
            files.outputs << output;
        }
    }
    if (command == "build" || command == "build-sweep") {
        files.folders << args[0];
        if (command == "build" && !args[1].isEmpty()) {
            files.outputs << qMakePair(QString("the database"),
                                       database_directory() + args[1] + ".ft1");
        }
        for (const QString &path : command == "build" ? QStringList() : sweep_databases()) {
            files.outputs << qMakePair(QString("the database"), path);
        }
    } else if (command == "search") {
        files.files = args;
    } else if (command == "multi" || command == "monster") {
        files.files = command == "multi" ? args : sweep_databases();
        files.folders << patterns_directory();
    } else if (command == "info" || command == "index") {
        files.files = args;
        for (const QString &path : command == "index" ? args : QStringList()) {
            files.outputs << qMakePair(QString("the index"), ft1_index_path(path));
        }
    }
    return files;
}

void refuse_outputs_that_are_inputs(const QString &command, const CommandFiles &files)
{
    QStringList inputs;
    for (const QString &path : files.files) {
        inputs << QFileInfo(path).canonicalFilePath();
    }
    for (const QString &folder : files.folders) {
        for (const QFileInfo &file : listed(folder)) {
            inputs << file.canonicalFilePath();
        }
    }
    for (const auto &output : files.outputs) {
        const QString canonical = QFileInfo(output.second).canonicalFilePath();
        if (!canonical.isEmpty() && inputs.contains(canonical)) {
            throw UsageError(
                QString("%1 %2 is also an input of %3").arg(output.first, output.second, command));
        }
    }
}

bool same_inputs_everywhere(const CommandFiles &files)
{
    Shard *shard = work_shard();
    if (!shard || shard->ranks() < 2) {
        return true;
    }
    QByteArray mine;
    QDataStream out(&mine, QIODevice::WriteOnly);
    out << input_states(files);
    QList<QMap<QString, QString>> states;
    for (const QByteArray &bytes : shard->all_gather(mine)) {
        QDataStream in(bytes);
        QMap<QString, QString> theirs;
        in >> theirs;
        states.append(theirs);
    }
    bool same = true;
    for (int rank = 1; rank < states.size(); ++rank) {
        QMap<QString, QString> paths = states[0];
        paths.insert(states[rank]);
        for (auto path = paths.cbegin(); path != paths.cend(); ++path) {
            const QString lead = states[0].value(path.key(), "absent");
            const QString theirs = states[rank].value(path.key(), "absent");
            if (lead != theirs) {
                print_failure(QString("process %1: %2 differs from process 0's (%3; process 0: %4)")
                                  .arg(rank)
                                  .arg(path.key(), theirs, lead));
                same = false;
            }
        }
    }
    return same;
}
