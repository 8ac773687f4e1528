#pragma once
// What a command reads and what it writes, known from its arguments before it starts: an
// output that is one of its inputs is refused before any work, and the processes of
// pictrace-mpi check that they all see the same inputs before they share any.

#include "cli/cli_commands.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

struct CommandFiles {
    QStringList files;   // read whole: databases, a pattern
    QStringList folders; // listed: every file in them is read
    // What each output is ("--json", "the database") and its path.
    QList<QPair<QString, QString>> outputs;
};

// Paths relative to the working directory the command runs in.
CommandFiles command_files(const QString &command, const CliOptions &options,
                           const QStringList &args);

// Throws UsageError when an output is one of the inputs (their canonical paths compared).
void refuse_outputs_that_are_inputs(const QString &command, const CommandFiles &files);

// With shared work: whether every process sees the same inputs (the size and checksum of each
// file, the names and sizes of the files of each folder); when not, prints a line for each
// process and file that differ from the lead process's. Alone: true.
bool same_inputs_everywhere(const CommandFiles &files);
