#pragma once
// The one line a front end shows after a command, for a person: what the search answered, or
// why it did not run or means little; what a build wrote and what a load read. The window
// shows it in its status bar.

#include "commands/commands.h"
#include "maps/window_settings.h"

#include <QList>
#include <QString>

namespace commands {

// After Search in DB with `settings`, of the database whose records are `records`:
//   "No pattern chosen: nothing searched" / "Pattern not read: FILE: PROBLEM: nothing searched"
//   "No database loaded: open one (Ctrl+O) or build one (Ctrl+N): nothing searched"
//   else the answer's line, after what does not fit ("h = 10 does not fit the database ...")
//   and followed by "; found image not in database/" when it is not there.
QString search_status(const QString &pattern_path, const SearchResult &result,
                      const QList<Ft1Record> &records, const WindowSettings &settings);

// After Multi Search in DB of `directory`: "Searched N patterns of DIR: K found (R %)", or why
// nothing was searched.
QString multi_status(const MultiResult &result, const QString &directory);

// Settings that give no window step: "invalid window settings: ...: nothing done".
QString refusal_status(const WindowSettings &settings);

// A dialog cancelled before a command could start: "No folder chosen: nothing built" and the like.
enum class Unchosen { folder, database_name, database_file };
QString unchosen_status(Unchosen what);

// After Pre-process database into `path`: "Wrote PATH: N records" or why nothing was written.
QString build_status(const QString &path, bool written, int records);

// After Open database of `path`, with `maps` maps in memory in all: "Read PATH: N records ..."
// or why nothing was read.
QString load_status(const QString &path, const LoadResult &result, int maps);

} // namespace commands
