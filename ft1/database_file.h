#pragma once
// Opening a database file: the binary index beside PATH.ft1 when it is there and was made from
// this very file, else the text (ft1_index.h, ft1_reader.h). Results are the same either way;
// an index that is there but not used is told on the console with its reason. A new check of
// the database file belongs here, not in either reader.

#include "ft1/ft1_contents.h"

#include <QList>
#include <QString>

#include <functional>

struct LoadOptions {
    // Called after each record, with the records read and the number of "EOR" lines; once,
    // with all of them, when the index is read.
    std::function<void(int done, int total)> progress;
    // Read PATH.idx instead of the text when it is there and was made from this very file.
    bool use_index = true;
    // Check every byte of the index's maps against its checksum (its tables always are).
    bool check_index_data = false;
};

// The contents of the file; `index_note` says why an index beside it was not used.
Ft1Contents read_ft1(const QString &path, const LoadOptions &options = LoadOptions());

// "From opened database file restored N images".
QString ft1_summary(int header_lines);

// Reads the file and writes the loader's console lines: why an index beside it is not used,
// every malformed line, or "file with precomputed db was not opened\n" and "PATH: why\n" when
// the file cannot be opened.
Ft1Contents load_database_file(const QString &path, const LoadOptions &options = LoadOptions());

// Appends the maps of the complete records of the ".ft1" file to `database`, writes every
// malformed line to the console and sets `message` to the summary; writes "file with
// precomputed db was not opened\n" instead, leaving both alone, when the file cannot be opened.
void load_database(const QString &path, QList<FeatureMap> &database, QString &message,
                   const LoadOptions &options = LoadOptions());
