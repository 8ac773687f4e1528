#pragma once
// Reading ".ft1" database files back into feature maps.
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

#include "maps/feature_map.h"
#include "maps/sorted_cells.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// The header of one record: what the builder knew of the image and its map.
struct Ft1Record {
    QString name;
    int image_width = -1; // -1 when the field is not a whole number
    int image_height = -1;
    int map_width = 0;
    int map_height = 0;
    bool complete = false; // closed by "EOR" (a record without cells needs none)
};

// Malformed lines listed one by one; the rest are counted.
constexpr int max_problems_listed = 100;
// Lines longer than this are no database lines (a row of a map of 100000 cells is ~1 MiB).
constexpr qint64 longest_line = qint64(64) << 20;

struct Ft1Contents {
    bool opened = false;
    QList<FeatureMap> maps;   // complete records with positive sizes, in file order
    int header_lines = 0;     // the count that the summary reports
    QList<Ft1Record> records; // every header with whole-number map sizes, in file order
    QStringList problems;     // "path:line: what", one per malformed line, up to the limit,
                              // then "path: N more malformed lines"
    qint64 problem_count = 0; // all malformed lines
    QString error;            // why the file did not open
    bool from_index = false;  // read from the binary index beside the file (see ft1_index.h)
    QString index_note;       // why an index beside the file was not used, if one was there
    SortedCells cells;        // from the index: the maps' sorted cells; else empty

    int complete_records() const;
    // Lines were read, but none of them made a complete record.
    bool not_a_database() const { return opened && header_lines > 0 && complete_records() == 0; }
};

struct LoadOptions {
    // Called after each record, with the records read and the number of "EOR" lines.
    std::function<void(int done, int total)> progress;
    // Read PATH.idx instead of the text when it is there and was made from this very file.
    bool use_index = true;
    // Check every byte of the index's maps against its checksum (its tables always are).
    bool check_index_data = false;
};

Ft1Contents read_ft1(const QString &path, const LoadOptions &options = LoadOptions());

// "From opened database file restored N images".
QString ft1_summary(int header_lines);

// Reads the file and writes the loader's console lines: every malformed line, or "file with
// precomputed db was not opened\n" when the file cannot be opened.
Ft1Contents load_database_file(const QString &path, const LoadOptions &options = LoadOptions());

// Appends the maps of the complete records of the ".ft1" file to `database`, writes every
// malformed line to the console and sets `message` to the summary; writes "file with
// precomputed db was not opened\n" instead, leaving both alone, when the file cannot be opened.
void load_database(const QString &path, QList<FeatureMap> &database, QString &message,
                   const LoadOptions &options = LoadOptions());
