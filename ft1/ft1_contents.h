#pragma once
// What reading a ".ft1" database gives, whether from its text or from its binary index: the
// records' headers, the maps of the complete ones, the count of images and the malformed lines.

#include "maps/candidate_blocks.h"
#include "maps/feature_map.h"
#include "maps/sorted_cells.h"
#include "support/file_stamp.h"

#include <QList>
#include <QPair>
#include <QSize>
#include <QString>
#include <QStringList>

#include <memory>

// The header of one record: what the builder knew of the image and its map.
struct Ft1Record {
    QString name;
    int image_width = -1; // -1 when the field is not a whole number
    int image_height = -1;
    int map_width = 0;
    int map_height = 0;
    bool complete = false; // closed by "EOR" (a record without cells needs none)
};

class ValueGuard;

// What a search asks of every map, made once by `index`: how many maps have each size, and for
// each map the first map of its name (maps of one name share it).
struct MapsSummary {
    QList<QPair<QSize, qint64>> sizes;
    std::shared_ptr<const void> storage; // keeps name_groups alive
    const std::uint32_t *name_groups = nullptr;
    std::size_t map_count = 0;

    bool known() const { return name_groups != nullptr; }
};

// Malformed lines listed one by one; the rest are counted.
constexpr int max_problems_listed = 100;

struct Ft1Contents {
    bool opened = false;
    QList<FeatureMap> maps;     // complete records with positive sizes, in file order
    int header_lines = 0;       // the count that the summary reports
    QList<Ft1Record> records;   // every header with whole-number map sizes, in file order
    QStringList problems;       // "path:line: what", one per malformed line, up to the limit,
                                // then "path: N more malformed lines"
    qint64 problem_count = 0;   // all malformed lines
    QString error;              // why the file did not open
    bool from_index = false;    // read from the binary index beside the file (see ft1_index.h)
    QString index_note;         // why an index beside the file was not used, if one was there
    SortedCells cells;          // from the index: the maps' sorted cells; else empty
    CandidateArrays candidates; // from the index: the candidate index; else empty
    std::shared_ptr<const ValueGuard> guard; // from the index: checks the maps' values
    MapsSummary summary;                     // from the index
    // Read from the text: the bytes that were parsed, their checksum, and the stamp of the file
    // they were read from (which another program may have replaced at the path meanwhile).
    struct Source {
        qint64 bytes = 0;
        std::uint64_t checksum = 0;
        FileStamp stamp;
    } source;

    int complete_records() const;
    // Lines were read, but none of them made a complete record.
    bool not_a_database() const { return opened && header_lines > 0 && complete_records() == 0; }
};

// Closes the list of malformed lines of the file at `path` once all are counted: the line
// "path: N more malformed lines" when more were found than listed.
void close_problem_list(Ft1Contents &contents, const QString &path);
