#pragma once
// Files written aside (NAME.XXXXXX beside NAME) while they are being written. A process ended
// by SIGINT, SIGTERM or SIGHUP removes them before it ends as the signal would have ended it;
// an abort that skips the destructors removes them too. Leftovers of writes that were cut
// short by anything else (a power cut, SIGKILL) are removed by the next write to the same
// target.

#include <QString>

// Creates TARGET.XXXXXX (mode 0600, locked while its descriptor is open) and remembers it
// from before it exists until it is forgotten, so that no signal falls between; the signal
// handlers are installed the first time. The descriptor, or -1 with errno set. A file made
// when the fixed table is full is removed only by its owner.
int create_temporary_file(const QByteArray &target, QByteArray &path);
void forget_temporary_file(const QByteArray &path);

// Unlinks every temporary file remembered; async-signal-safe.
void remove_temporary_files();

// Removes files named TARGET.XXXXXX (six letters or digits, as mkstemp makes them) beside
// `target`: regular files last written before this process started that no live write holds.
void remove_leftovers_of(const QByteArray &target);
