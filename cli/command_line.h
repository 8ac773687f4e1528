#pragma once
// The command line of pictrace-cli and pictrace-mpi: the tables of commands and options, which
// also make the help and say which commands each option applies to, and the run of one command.
// The executables differ only in their main.

#include <QStringList>

#include <memory>

class QCoreApplication;

// Pages and plots draw text, which needs the fonts of a GUI application; without a display, on
// the offscreen platform. Other commands start as a plain application.
std::unique_ptr<QCoreApplication> make_application(int &argc, char **argv);

// Reads the arguments (the program's first) and runs the command; returns the exit status and
// throws UsageError. With `shares_work`, the help tells how processes share the work.
int run_command_line(const QStringList &arguments, bool shares_work);
