// The binary index beside a database: read back, it gives exactly what reading the text gives;
// stale, cut short or damaged, it is not used, the reader says why, and the text is read.

#include "ft1/database_file.h"
#include "ft1/ft1_index.h"
#include "maps/centre_descriptor.h"
#include "search/aligned_search.h"
#include "search/cell_index.h"
#include "test_support.h"

#include <QtTest>

#include <cstring>

namespace {

// Records of every kind: maps with special values, a record without cells, one cut off by a
// header, malformed lines, a name that is not ASCII.
QByteArray database_text()
{
    QByteArray text = "a;40;30;3;2;\n0.5;-1.25;3;\n1e-05;0;-0;\nEOR\n"
                      "empty;9;9;0;0;\nEOR\n"
                      "special;4;4;4;1;\nnan;inf;-inf;1.17549e-38;\nEOR\n"
                      "cut;4;4;1;2;\n5;\n"
                      "caf\xc3\xa9;8;8;2;2;\n1;2;\nx;4;\nEOR\n"
                      "bad;1;1;q;2;\n";
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> value(-4, 4);
    // Enough records for the sorted cells to fill more than one block.
    for (int r = 0; r < 120; ++r) {
        text += QString("img%1;60;50;7;6;\n").arg(r).toUtf8();
        for (int y = 0; y < 6; ++y) {
            for (int x = 0; x < 7; ++x) {
                text += QByteArray::number(double(value(rng)), 'g', 6) + ";";
            }
            text += "\n";
        }
        text += "EOR\n";
    }
    return text;
}

Ft1Contents read(const QString &path, bool use_index)
{
    LoadOptions options;
    options.use_index = use_index;
    return read_ft1(path, options);
}

void compare(const Ft1Contents &a, const Ft1Contents &b)
{
    QCOMPARE(a.opened, b.opened);
    QCOMPARE(a.header_lines, b.header_lines);
    QCOMPARE(a.problems, b.problems);
    QCOMPARE(a.problem_count, b.problem_count);
    QCOMPARE(a.records.size(), b.records.size());
    for (int k = 0; k < a.records.size(); ++k) {
        const Ft1Record &x = a.records[k];
        const Ft1Record &y = b.records[k];
        QCOMPARE(x.name, y.name);
        QCOMPARE((QList<int>{x.image_width, x.image_height, x.map_width, x.map_height}),
                 (QList<int>{y.image_width, y.image_height, y.map_width, y.map_height}));
        QCOMPARE(x.complete, y.complete);
    }
    QCOMPARE(a.maps.size(), b.maps.size());
    for (int m = 0; m < a.maps.size(); ++m) {
        QCOMPARE(a.maps[m].name, b.maps[m].name);
        QCOMPARE(QSize(a.maps[m].width, a.maps[m].height),
                 QSize(b.maps[m].width, b.maps[m].height));
        QCOMPARE(std::memcmp(a.maps[m].data(), b.maps[m].data(),
                             std::size_t(a.maps[m].cell_count()) * sizeof(float)),
                 0);
    }
}

// Changes the index file: `edit` gets its bytes.
void edit_index(const QString &path, const std::function<void(QByteArray &)> &edit)
{
    QByteArray bytes = file_bytes(path);
    edit(bytes);
    QVERIFY(write_file(path, bytes));
}

} // namespace

class TestFt1Index : public QObject
{
    Q_OBJECT

private slots:
    // The index gives what the text gives: records, maps bit for bit, the count of images and
    // the malformed lines (under whatever path the file is read), and the sorted cells.
    void round_trip()
    {
        ScopedWorkdir dir;
        QVERIFY(write_file("db.ft1", database_text()));
        const IndexWrite written = write_ft1_index("db.ft1");
        QVERIFY2(written.written, qPrintable(written.error));
        QVERIFY(QFile::exists("db.ft1.idx"));
        const Ft1Contents text = read("db.ft1", false);
        const Ft1Contents indexed = read("db.ft1", true);
        QVERIFY(indexed.from_index);
        QVERIFY(!text.from_index);
        QVERIFY(text.problem_count >= 3);
        compare(indexed, text);
        // Read under another path, the messages name that path.
        const QString absolute = QFileInfo("db.ft1").absoluteFilePath();
        compare(read(absolute, true), read(absolute, false));

        const CellIndex sorted(text.maps);
        const CellIndex loaded(indexed.cells);
        QCOMPARE(loaded.size(), sorted.size());
        for (std::size_t k = 0; k < sorted.size(); ++k) {
            QVERIFY(same_bits(loaded.value(k), sorted.value(k)));
            QCOMPARE(loaded.map(k), sorted.map(k));
            QCOMPARE(loaded.cell(k), sorted.cell(k));
            QVERIFY(same_bits(loaded.cells().next[k], sorted.cells().next[k]));
        }
        const SortedCells &a = loaded.cells();
        const SortedCells &b = sorted.cells();
        QCOMPARE(a.blocks(), b.blocks());
        for (std::size_t k = 0; k < a.blocks(); ++k) {
            QVERIFY(same_bits(a.block_low[k], b.block_low[k]));
            QVERIFY(same_bits(a.block_high[k], b.block_high[k]));
        }
        for (std::size_t k = 0; k < a.samples(); ++k) {
            QVERIFY(same_bits(a.next_samples[k], b.next_samples[k]));
        }
        // The maps live in the index's mapping; they outlive the contents they came in.
        QList<FeatureMap> kept = read("db.ft1", true).maps;
        QCOMPARE(kept.first().at(1, 0), -1.25f);
    }

    // Many malformed lines: the hundred listed and the count of the rest come back the same.
    void malformed_lines_beyond_the_list()
    {
        ScopedWorkdir dir;
        QVERIFY(
            write_file("db.ft1", "a;1;1;1;1;\n5;\n" + QByteArray("6;\n").repeated(250) + "EOR\n"));
        QVERIFY(write_ft1_index("db.ft1").written);
        const Ft1Contents indexed = read("db.ft1", true);
        QVERIFY(indexed.from_index);
        compare(indexed, read("db.ft1", false));
        QCOMPARE(indexed.problems.last(), QString("db.ft1: 150 more malformed lines"));
    }

    // An index that does not fit its .ft1 is not used; the text is read and the reader says
    // why on the console.
    void indexes_that_are_not_used_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("why");
        QTest::newRow("the .ft1 grew") << "append"
                                       << "made from another version of the file";
        QTest::newRow("the .ft1 changed, same size") << "same size"
                                                     << "made from another version of the file";
        QTest::newRow("index cut short") << "truncate"
                                         << "cut short";
        QTest::newRow("index empty") << "empty"
                                     << "cut short";
        QTest::newRow("a byte of the tables changed") << "flip tables"
                                                      << "corrupt (its checksum does not match)";
        QTest::newRow("a byte of a map changed, in a full check")
            << "flip data"
            << "corrupt (its checksum does not match)";
        QTest::newRow("not an index") << "magic"
                                      << "not an index";
        QTest::newRow("another format version") << "version"
                                                << "an index of format 7, not 4";
        QTest::newRow("a section beyond the file") << "offset"
                                                   << "sections outside the file";
        QTest::newRow("longer than it says") << "extend"
                                             << "longer than it says";
    }
    void indexes_that_are_not_used()
    {
        QFETCH(QString, change);
        QFETCH(QString, why);
        ScopedWorkdir dir;
        QVERIFY(write_file("db.ft1", database_text()));
        QVERIFY(write_ft1_index("db.ft1").written);
        if (change == "append") {
            QVERIFY(write_file("db.ft1", database_text() + "z;1;1;1;1;\n9;\nEOR\n"));
        } else if (change == "same size") {
            QByteArray text = database_text();
            text.replace("0.5;-1.25", "0.6;-1.25");
            QVERIFY(write_file("db.ft1", text));
        } else {
            edit_index("db.ft1.idx", [&](QByteArray &bytes) {
                if (change == "truncate") {
                    bytes.chop(bytes.size() / 2);
                } else if (change == "empty") {
                    bytes.clear();
                } else if (change == "flip tables") {
                    bytes[200] = char(bytes[200] ^ 0x10);
                } else if (change == "flip data") {
                    bytes[bytes.size() - 300] = char(bytes[bytes.size() - 300] ^ 0x10);
                } else if (change == "magic") {
                    bytes[0] = 'X';
                } else if (change == "version") {
                    bytes[8] = 7;
                } else if (change == "offset") {
                    // The count of fitting settings, at byte 128 of the header: far more
                    // than the file holds.
                    bytes.replace(128, 8, QByteArray("\0\0\0\0\0\x01\0\0", 8));
                } else if (change == "extend") {
                    bytes.append(64, '\0');
                }
            });
        }
        const Ft1Contents text = read("db.ft1", false);
        LoadOptions options;
        // The maps are read whole only in a full check; a load maps them and trusts their bytes.
        options.check_index_data = change == "flip data";
        if (change == "flip data") {
            QVERIFY(read("db.ft1", true).from_index);
        }
        ConsoleCapture console;
        const Ft1Contents loaded = load_database_file("db.ft1", options);
        QVERIFY(!loaded.from_index);
        compare(loaded, text);
        QCOMPARE(loaded.index_note, "db.ft1.idx: " + why + "; the index is not used");
        QVERIFY2(console.text().startsWith(loaded.index_note + "\n"), qPrintable(console.text()));
    }

    // A load trusts the bytes of the maps and the sorted cells (a full check is `info`'s): when
    // they are damaged, the aligned search may be misled but reads nothing outside the file's
    // arrays and the maps, and picks a window inside its map.
    void damaged_sorted_cells_keep_the_aligned_search_inside()
    {
        ScopedWorkdir dir;
        QVERIFY(write_file("db.ft1", database_text()));
        QVERIFY(write_ft1_index("db.ft1").written);
        const QByteArray intact = file_bytes("db.ft1.idx");
        std::mt19937 rng(77);
        const WindowSettings settings{2, 1};
        const FeatureMap pattern = random_grey_map(rng, 9, 8, "p");
        for (int round = 0; round < 24; ++round) {
            QByteArray bytes = intact;
            // The sorted cells fill the last part of the file; some rounds fill it with one
            // repeated byte (all not a number, all equal), others with noise.
            std::uniform_int_distribution<int> byte(0, 255);
            const int from = bytes.size() / 2;
            const char fill = char(byte(rng));
            for (int k = from; k < bytes.size(); ++k) {
                if (round % 3 == 0 || byte(rng) < 64) {
                    bytes[k] = round % 3 == 0 ? fill : char(byte(rng));
                }
            }
            QVERIFY(write_file("db.ft1.idx", bytes));
            const Ft1Contents loaded = read("db.ft1", true);
            QVERIFY(loaded.from_index);
            const CellIndex index(loaded.cells);
            CentreDescriptor centres(pattern, settings);
            const AlignedSearch found = aligned_search(centres, loaded.maps, index);
            QVERIFY(found.any_cells);
            if (found.best) {
                const FeatureMap &map = loaded.maps[found.best->window.map];
                QVERIFY(found.best->window.x >= 0 && found.best->window.y >= 0);
                QVERIFY(found.best->window.x + found.map_size.width() <= map.width);
                QVERIFY(found.best->window.y + found.map_size.height() <= map.height);
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestFt1Index)
#include "tst_ft1_index.moc"
