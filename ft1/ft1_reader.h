#pragma once
// Reading the text of ".ft1" database files back into feature maps. This reader knows nothing
// of the binary index beside a file (database_file.h chooses between the two).
//
// A header line opens a record when both its map sizes are positive; its data lines fill the
// map row by row and "EOR" appends it. Every line read where a header is expected counts as a
// record in the summary, whether it opens a map or not. Malformed input is repaired, never
// trusted: values never land outside their map, missing values read as 0, a record whose sizes
// the rest of the file cannot hold allocates nothing, and every malformed line is reported with
// the file name and line number. Well-formed records around a broken one still load.
//
// The file is read as a stream, in pieces, whatever its size. Memory stays a small multiple of
// the maps stored: records together never declare more values than the file's text could
// hold, lines longer than any database line are skipped unread, and only the first malformed
// lines are listed (then one line with the count of the rest).

#include "ft1/ft1_contents.h"

#include <QString>

#include <functional>

// Lines longer than this are no database lines (a row of a map of 100000 cells is ~1 MiB).
constexpr qint64 longest_line = qint64(64) << 20;

struct TextReadOptions {
    // Called after each record, with the records read and the number of "EOR" lines.
    std::function<void(int done, int total)> progress;
    // When set, each complete record's map is handed here as soon as its "EOR" is read, and
    // neither kept in the contents nor held by the reader afterwards: a reader of a database of
    // any size then holds one map at a time. The records and malformed lines are kept as usual.
    std::function<void(const FeatureMap &map)> on_map;
};

// The contents of the text of `path`; `error` says why when the file does not open.
Ft1Contents read_ft1_text(const QString &path, const TextReadOptions &options = TextReadOptions());
