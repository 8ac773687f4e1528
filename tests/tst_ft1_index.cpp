// The binary index beside a database: read back, it gives exactly what reading the text gives;
// stale, cut short or damaged, it is not used, the reader says why, and the text is read.

#include "evaluation/fine_search.h"
#include "ft1/database_file.h"
#include "ft1/ft1_index.h"
#include "ft1/ft1_index_format.h"
#include "ft1/ft1_writer.h"
#include "ft1/value_guard.h"
#include "maps/centre_descriptor.h"
#include "maps/descriptor.h"
#include "search/aligned_search.h"
#include "search/candidate_index.h"
#include "search/cell_index.h"
#include "search/indexed_search.h"
#include "support/threads.h"
#include "test_support.h"

#include <sys/stat.h>
#include <utime.h>

#include <QtTest>

#include <atomic>
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

IndexHeader header_of(const QByteArray &bytes)
{
    IndexHeader header{};
    std::memcpy(&header, bytes.constData(), std::min<std::size_t>(sizeof header, bytes.size()));
    return header;
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
        // The candidate index: the entries made in memory, in the same order, the directory the
        // same (read from the file as a search reads them).
        const CandidateArrays made = candidate_arrays(text.maps);
        const CandidateArrays &stored = indexed.candidates;
        QVERIFY(stored.source);
        QCOMPARE(stored.bits, made.bits);
        QCOMPARE(stored.size, made.size);
        const CandidateEntry *entries = stored.source->entries(0, made.size);
        for (std::uint64_t k = 0; k < made.size; ++k) {
            QCOMPARE(entries[k].map, made.entries[k].map);
            QCOMPARE(entries[k].place, made.entries[k].place);
        }
        for (std::uint32_t bucket = 0; bucket < made.buckets(); ++bucket) {
            std::uint64_t begin = 0;
            std::uint64_t end = 0;
            QVERIFY(stored.source->bucket(bucket, begin, end));
            QCOMPARE(begin, std::uint64_t(made.starts[bucket]));
            QCOMPARE(end, std::uint64_t(made.starts[bucket + 1]));
        }
        QCOMPARE(stored.rarity.table(), made.rarity.table());
        // The maps live in the index's mapping; they outlive the contents they came in.
        QList<FeatureMap> kept = read("db.ft1", true).maps;
        QCOMPARE(kept.first().at(1, 0), -1.25f);
    }

    // However little memory the writer may take, it writes the same bytes (it takes more passes
    // over the values instead): a database of any size is indexed in bounded memory.
    void written_alike_in_any_memory_data()
    {
        QTest::addColumn<int>("kilobytes");
        QTest::newRow("a pass for every few blocks of cells") << 256;
        QTest::newRow("a pass for every block, every bucket range") << 1;
    }
    void written_alike_in_any_memory()
    {
        QFETCH(int, kilobytes);
        ScopedWorkdir dir;
        QByteArray text = database_text();
        // More cells of one value than a pass holds (handed on as they come), and more of
        // nearby values than a pass holds (counted again, finer, first).
        text += "zeros;840;840;80;80;\n" +
                QByteArray(QByteArray("0;").repeated(80) + "\n").repeated(80) + "EOR\n";
        text += "near;840;680;80;64;\n";
        for (int row = 0; row < 64; ++row) {
            for (int k = 0; k < 80; ++k) {
                text += QByteArray::number(1 + (row * 80 + k) * 1e-6, 'g', 7) + ";";
            }
            text += "\n";
        }
        text += "EOR\n";
        QVERIFY(write_file("db.ft1", text));
        QVERIFY(write_ft1_index("db.ft1").written);
        const QByteArray plenty = file_bytes("db.ft1.idx");
        IndexWriteOptions little;
        little.memory_bytes = std::size_t(kilobytes) << 10;
        QVERIFY(write_ft1_index("db.ft1", little).written);
        QVERIFY(file_bytes("db.ft1.idx") == plenty);
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
        QTest::newRow("the .ft1 changed in place, its time put back") << "touch back"
                                                                      << "made from another "
                                                                         "version of the file";
        QTest::newRow("a byte of the tables changed") << "flip tables"
                                                      << "corrupt (its checksum does not match)";
        QTest::newRow("a count in the header changed") << "flip header"
                                                       << "corrupt (its checksum does not match)";
        QTest::newRow("a byte of the sorted cells changed, in a full check")
            << "flip data"
            << "corrupt (its checksum does not match)";
        QTest::newRow("a byte of a map changed, in a full check")
            << "flip values"
            << "corrupt (its checksum does not match)";
        QTest::newRow("not an index") << "magic"
                                      << "not an index";
        QTest::newRow("another format version") << "version"
                                                << "an index of format 7, not 5";
        QTest::newRow("a section beyond the file, its header forged") << "offset"
                                                                      << "sections outside the "
                                                                         "file";
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
        const IndexHeader header = header_of(file_bytes("db.ft1.idx"));
        const IndexLayout at = index_layout(counts_of(header));
        const bool full_check =
            change.startsWith("flip") && change != "flip tables" && change != "flip header";
        if (change == "append") {
            QVERIFY(write_file("db.ft1", database_text() + "z;1;1;1;1;\n9;\nEOR\n"));
        } else if (change == "same size") {
            QByteArray text = database_text();
            text.replace("0.5;-1.25", "0.6;-1.25");
            QVERIFY(write_file("db.ft1", text));
        } else if (change == "touch back") {
            struct stat before {
            };
            QCOMPARE(::stat("db.ft1", &before), 0);
            QByteArray text = database_text();
            text.replace("0.5;-1.25", "0.6;-1.25");
            QFile file("db.ft1");
            QVERIFY(file.open(QIODevice::ReadWrite));
            QCOMPARE(file.write(text), qint64(text.size()));
            file.close();
            const struct utimbuf times {
                before.st_atime, before.st_mtime
            };
            QCOMPARE(::utime("db.ft1", &times), 0);
        } else {
            edit_index("db.ft1.idx", [&](QByteArray &bytes) {
                if (change == "truncate") {
                    bytes.chop(bytes.size() / 2);
                } else if (change == "empty") {
                    bytes.clear();
                } else if (change == "flip tables") {
                    bytes[int(at.records) + 1] = char(bytes[int(at.records) + 1] ^ 0x10);
                } else if (change == "flip header") {
                    const int count = int(offsetof(IndexHeader, fitting_count));
                    bytes[count] = char(bytes[count] ^ 0x01);
                } else if (change == "flip data") {
                    bytes[int(at.places) + 3] = char(bytes[int(at.places) + 3] ^ 0x10);
                } else if (change == "flip values") {
                    bytes[int(at.values) + 5] = char(bytes[int(at.values) + 5] ^ 0x10);
                } else if (change == "magic") {
                    bytes[0] = 'X';
                } else if (change == "version") {
                    bytes[8] = 7;
                } else if (change == "offset") {
                    // Far more fitting settings than the file holds, under a checksum made
                    // for the header so changed.
                    IndexHeader forged = header;
                    forged.fitting_count = std::uint64_t(1) << 40;
                    forged.header_checksum = header_checksum(forged);
                    std::memcpy(bytes.data(), &forged, sizeof forged);
                } else if (change == "extend") {
                    bytes.append(64, '\0');
                }
            });
        }
        const Ft1Contents text = read("db.ft1", false);
        LoadOptions options;
        // The maps and the sorted cells are read whole only in a full check; a load maps them,
        // and a search checks the values of the maps it reads (damaged_values_are_not_read).
        options.check_index_data = full_check;
        if (full_check) {
            QVERIFY(read("db.ft1", true).from_index);
        }
        ConsoleCapture console;
        const Ft1Contents loaded = load_database_file("db.ft1", options);
        QVERIFY(!loaded.from_index);
        compare(loaded, text);
        QCOMPARE(loaded.index_note, "db.ft1.idx: " + why + "; the index is not used");
        QVERIFY2(console.text().startsWith(loaded.index_note + "\n"), qPrintable(console.text()));
    }

    // A map whose values are damaged is never read by a search: the check of its block throws,
    // that of the others' blocks does not.
    void damaged_values_are_not_read()
    {
        ScopedWorkdir dir;
        QVERIFY(write_file("db.ft1", database_text()));
        QVERIFY(write_ft1_index("db.ft1").written);
        const IndexLayout at = index_layout(counts_of(header_of(file_bytes("db.ft1.idx"))));
        edit_index("db.ft1.idx", [&](QByteArray &bytes) {
            bytes[int(at.values) + 2] = char(bytes[int(at.values) + 2] ^ 0x40);
        });
        const Ft1Contents loaded = read("db.ft1", true);
        QVERIFY(loaded.from_index && loaded.guard);
        QVERIFY_EXCEPTION_THROWN(loaded.guard->check(loaded.maps.first()), DamagedIndex);
        QVERIFY(std::uint64_t(loaded.maps.last().data() - loaded.maps.first().data()) >=
                index_value_block);
        loaded.guard->check(loaded.maps.last()); // in another block
        QVERIFY(!loaded.guard->check_all());
        const Ft1Contents text = read("db.ft1", false);
        loaded.guard->check(text.maps.first()); // not the index's: passed over
    }

    // Damaged values found while patterns with few cells are searched again among a database at
    // a smaller radius: the line that says so, and the first search's answers kept.
    // What a damaged block throws on a worker thread reaches the caller as it was (Qt's own
    // wrapper would end the process), once the other work is done.
    void damage_found_on_threads_data()
    {
        QTest::addColumn<int>("threads");
        QTest::newRow("one thread") << 1;
        QTest::newRow("two threads") << 2;
        QTest::newRow("eight threads") << 8;
    }
    void damage_found_on_threads()
    {
        QFETCH(int, threads);
        std::atomic<int> done{0};
        int consumed = 0;
        auto work = [&](int k) {
            if (k == 5) {
                throw DamagedIndex("x.idx");
            }
            ++done;
            return k;
        };
        try {
            ordered_parallel<int>(40, threads, work, [&](int, int &) { return ++consumed > 0; });
            QFAIL("no exception");
        } catch (const DamagedIndex &damaged) {
            QCOMPARE(damaged.path(), QString("x.idx"));
        }
        QCOMPARE(consumed, 5); // the results before the damaged one, in order
        std::atomic<int> next{0};
        QVERIFY_EXCEPTION_THROWN(run_on_threads(threads,
                                                [&] {
                                                    while (next++ < 40) {
                                                        if (next == 7) {
                                                            throw DamagedIndex("y.idx");
                                                        }
                                                    }
                                                }),
                                 DamagedIndex);
    }

    void damaged_values_of_a_finer_database()
    {
        ScopedWorkdir dir;
        // The finer database holds the images the patterns are cut from, the other none.
        std::mt19937 rng(3);
        const WindowSettings fine_settings{2, 1};
        const WindowSettings coarse{4, 1};
        QByteArray text;
        QList<FeatureMap> greys;
        QList<FeatureMap> coarse_maps;
        for (int k = 0; k < 6; ++k) {
            greys.append(random_grey_map(rng, 40, 30, QString("img%1").arg(k)));
            append_ft1_record(text, greys.last().name.toUtf8(), 40, 30,
                              descriptor_map(greys.last(), fine_settings));
            coarse_maps.append(descriptor_map(random_grey_map(rng, 40, 30, "x"), coarse));
            coarse_maps.last().name = QString("other%1").arg(k);
        }
        QVERIFY(write_file("fine.ft1", text));
        QVERIFY(write_ft1_index("fine.ft1").written);
        const IndexLayout at = index_layout(counts_of(header_of(file_bytes("fine.ft1.idx"))));
        edit_index("fine.ft1.idx", [&](QByteArray &bytes) {
            bytes[int(at.values) + 2] = char(bytes[int(at.values) + 2] ^ 0x40);
        });
        const Ft1Contents loaded = read("fine.ft1", true);
        QVERIFY(loaded.from_index && loaded.guard);
        const CellIndex cells(loaded.cells);
        const CandidateIndex candidates(loaded.candidates);
        FineMaps fine{fine_settings, loaded.maps, {}};
        fine.indexes.index = &cells;
        fine.indexes.candidates = &candidates;
        fine.indexes.before_reading = [&](int map) { loaded.guard->check(loaded.maps[map]); };
        QList<FeatureMap> patterns;
        for (int k = 0; k < 3; ++k) {
            FeatureMap cut = FeatureMap::allocate(13, 12, greys[k].name);
            for (int y = 0; y < cut.height; ++y) {
                for (int x = 0; x < cut.width; ++x) {
                    cut.data()[x + y * cut.width] = greys[k].data()[x + 5 + (y + 4) * 40];
                }
            }
            patterns.append(cut);
        }
        SearchOptions options;
        options.mode = SearchMode::indexed;
        ConsoleCapture console;
        const SearchOutcome outcome =
            search_at_two_radii(coarse, patterns, coarse_maps, options, &fine);
        QCOMPARE(outcome.status, SearchStatus::searched);
        QCOMPARE(outcome.picks.size(), patterns.size());
        QVERIFY2(console.text().contains("fine.ft1.idx: corrupt (a block of values does not "
                                         "match its checksum); the patterns with few cells keep "
                                         "their answers at radius 4\n"),
                 qPrintable(console.text()));
        for (const PatternPick &pick : outcome.picks) {
            QCOMPARE(pick.radius, 0);
        }
    }

    // A load trusts the bytes of the sorted cells and the candidate index (a full check is
    // `info`'s): when they are damaged, the aligned and the indexed search may be misled but read
    // nothing outside the file's arrays and the maps, and pick windows inside their maps.
    void damaged_indexes_keep_the_searches_inside()
    {
        ScopedWorkdir dir;
        QVERIFY(write_file("db.ft1", database_text()));
        QVERIFY(write_ft1_index("db.ft1").written);
        const QByteArray intact = file_bytes("db.ft1.idx");
        const IndexLayout at = index_layout(counts_of(header_of(intact)));
        std::mt19937 rng(77);
        const WindowSettings settings{2, 1};
        const FeatureMap pattern = random_grey_map(rng, 9, 8, "p");
        for (int round = 0; round < 24; ++round) {
            QByteArray bytes = intact;
            // Some rounds fill the sorted cells and the candidate index with one repeated byte
            // (all not a number, all equal), others with noise.
            std::uniform_int_distribution<int> byte(0, 255);
            const char fill = char(byte(rng));
            for (int k = int(at.cells); k < int(at.records); ++k) {
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
            auto inside = [&](const MatchCandidate &window, QSize size) {
                const FeatureMap &map = loaded.maps[window.map];
                QVERIFY(window.x >= 0 && window.y >= 0);
                QVERIFY(window.x + size.width() <= map.width);
                QVERIFY(window.y + size.height() <= map.height);
            };
            if (found.best) {
                inside(found.best->window, found.map_size);
            }
            const CandidateIndex candidates(loaded.candidates);
            CentreDescriptor again(pattern, settings);
            const IndexedSearch voted = IndexedSearcher(again, loaded.maps, candidates).search();
            if (voted.best) {
                inside(voted.best->window, voted.map_size);
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestFt1Index)
#include "tst_ft1_index.moc"
