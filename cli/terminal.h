#pragma once
// What pictrace-cli shows, and where: the answer and the results of a command are shown always;
// the system's informational lines (loading, timings, progress) are left out with --quiet; a
// progress line is drawn only where a terminal can take it back.

#include <QString>

// From here on, the system's console lines are dropped; what `show` writes still goes out.
void set_quiet();
bool quiet();

// A result for people: on the console's output, also when quiet.
void show(const QString &text);

// Standard output and standard error are both terminals that can move the cursor (TERM is set
// and not "dumb"), and the output is not quiet.
bool progress_drawable();

// Qt's platform messages say nothing about the command: kept off standard error while pages and
// plots are drawn, with a private runtime folder when XDG_RUNTIME_DIR is not set. Messages of
// other categories, and every critical or fatal message, still go through. Before the
// application is made.
void keep_platform_noise_off();
