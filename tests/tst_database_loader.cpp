// Reading ".ft1" databases back, well-formed and malformed.

#include "ft1/database_file.h"
#include "ft1/ft1_reader.h"
#include "matcher/image_matcher.h"
#include "reference/reference_ft1.h"
#include "test_support.h"

#include <QtTest>

namespace {

struct Loaded {
    QList<FeatureMap> maps;
    QString message;
    QString console;
};

Loaded load_text(const QByteArray &text, QList<FeatureMap> database = {})
{
    ScopedWorkdir dir;
    write_file("db.ft1", text);
    Loaded loaded;
    loaded.maps = database;
    ConsoleCapture console;
    ImageMatcher matcher(50, 1, ImageMatcher::Quiet{});
    matcher.load_database("db.ft1", loaded.maps, loaded.message);
    loaded.console = console.text();
    return loaded;
}

// A map written as "name:w x h:v v v ..." for compact expectations.
QString describe(const FeatureMap &map)
{
    QStringList values;
    for (qint64 k = 0; k < map.cell_count(); ++k) {
        values << QString::number(double(map.values[k]));
    }
    return QString("%1:%2x%3:%4")
        .arg(map.name)
        .arg(map.width)
        .arg(map.height)
        .arg(values.join(' '));
}

QStringList describe(const QList<FeatureMap> &maps)
{
    QStringList list;
    for (const FeatureMap &map : maps) {
        list << describe(map);
    }
    return list;
}

void compare_with_reference(const QString &path)
{
    QList<FeatureMap> maps;
    QString message;
    ConsoleCapture console;
    ImageMatcher(1, 1, ImageMatcher::Quiet{}).load_database(path, maps, message);
    const reference::LoadedDatabase expected = reference::load(path);
    QCOMPARE(message, ft1_summary(expected.count));
    QCOMPARE(maps.size(), expected.maps.size());
    for (int m = 0; m < maps.size(); ++m) {
        QCOMPARE(maps[m].name, expected.maps[m].name);
        QCOMPARE(maps[m].width, expected.maps[m].width);
        QCOMPARE(maps[m].height, expected.maps[m].height);
        for (qint64 k = 0; k < maps[m].cell_count(); ++k) {
            QVERIFY(same_bits(maps[m].values[k], expected.maps[m].values[k]) ||
                    (std::isnan(maps[m].values[k]) && std::isnan(expected.maps[m].values[k])));
        }
    }
    QCOMPARE(console.text(), QString());
}

} // namespace

class TestDatabaseLoader : public QObject
{
    Q_OBJECT

private slots:
    void well_formed_files_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QStringList>("maps");
        QTest::addColumn<int>("count");
        QTest::newRow("empty file") << QByteArray() << QStringList{} << 0;
        QTest::newRow("only empty lines") << QByteArray("\n\n\n") << QStringList{} << 0;
        QTest::newRow("one record") << QByteArray("cat;301;200;2;2;\n1;2.5;\n-3;1e-05;\nEOR\n")
                                    << QStringList{"cat:2x2:1 2.5 -3 1e-05"} << 1;
        QTest::newRow("second record with sizes 0 and 0 is counted, not loaded")
            << QByteArray("a;9;9;1;1;\n4;\nEOR\nb;100;100;0;0;\nEOR\n") << QStringList{"a:1x1:4"}
            << 2;
        QTest::newRow("record without columns and its empty data lines")
            << QByteArray("d;50;300;-1;4;\n\n\n\n\nEOR\ne;9;9;1;1;\n7;\nEOR\n")
            << QStringList{"e:1x1:7"} << 2;
        QTest::newRow("empty lines between and inside records")
            << QByteArray("\na;1;1;2;1;\n\n5;6;\n\nEOR\n\n") << QStringList{"a:2x1:5 6"} << 1;
        QTest::newRow("carriage returns before line ends")
            << QByteArray("a;1;1;2;1;\r\n5;6;\r\nEOR\r\n") << QStringList{"a:2x1:5 6"} << 1;
        QTest::newRow("end line followed by a semicolon")
            << QByteArray("a;1;1;1;1;\n5;\nEOR;\n") << QStringList{"a:1x1:5"} << 1;
        QTest::newRow("last line without its line end")
            << QByteArray("a;1;1;1;1;\n5;\nEOR") << QStringList{"a:1x1:5"} << 1;
        QTest::newRow("not-a-number and infinities")
            << QByteArray("a;1;1;3;1;\nnan;inf;-inf;\nEOR\n") << QStringList{"a:3x1:nan inf -inf"}
            << 1;
        QTest::newRow("UTF-8 byte order mark") << QByteArray("\xef\xbb\xbf"
                                                             "a;1;1;1;1;\n5;\nEOR\n")
                                               << QStringList{"a:1x1:5"} << 1;
        QTest::newRow("name in UTF-8") << QByteArray("caf\xc3\xa9;1;1;1;1;\n5;\nEOR\n")
                                       << QStringList{QString::fromUtf8("caf\xc3\xa9:1x1:5")} << 1;
        QTest::newRow("record without EOR at the end is counted, not loaded")
            << QByteArray("a;1;1;1;1;\n5;\nEOR\nb;1;1;1;1;\n6;\n") << QStringList{"a:1x1:5"} << 2;
    }
    void well_formed_files()
    {
        QFETCH(QByteArray, text);
        QFETCH(QStringList, maps);
        QFETCH(int, count);
        const Loaded loaded = load_text(text);
        QCOMPARE(describe(loaded.maps), maps);
        QCOMPARE(loaded.message,
                 QString("From opened database file restored %1 images").arg(count));
        if (!QByteArray(QTest::currentDataTag()).contains("without EOR")) {
            QCOMPARE(loaded.console, QString());
        }
    }

    // Input that the builder never writes: repaired, reported with its line, the rest loaded.
    void malformed_files_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QStringList>("maps");
        QTest::addColumn<int>("count");
        QTest::addColumn<QStringList>("problems"); // "line: words" fragments, in order
        QTest::newRow("header with fewer than five fields")
            << QByteArray("a;1;1;\n5;\n6;\nEOR\nb;1;1;1;1;\n7;\nEOR\n") << QStringList{"b:1x1:7"}
            << 2 << QStringList{"db.ft1:1: header line with 4 of the five fields"};
        QTest::newRow("sizes that are not whole numbers")
            << QByteArray("a;1;1;x;2;\n5;\nEOR\nb;1;1;1;1;\n7;\nEOR\n") << QStringList{"b:1x1:7"}
            << 2 << QStringList{"db.ft1:1: map sizes \"x\" and \"2\""};
        QTest::newRow("more data lines than the height")
            << QByteArray("a;1;1;1;1;\n5;\n6;\nEOR\n") << QStringList{"a:1x1:5"} << 1
            << QStringList{"db.ft1:3: more data lines than the 1 rows"};
        QTest::newRow("more values than the width")
            << QByteArray("a;1;1;2;1;\n5;6;7;8;\nEOR\n") << QStringList{"a:2x1:5 6"} << 1
            << QStringList{"db.ft1:2: 4 values in a row of record \"a\", which has 2; the extra"};
        QTest::newRow("fewer values than the width")
            << QByteArray("a;1;1;3;1;\n5;\nEOR\n") << QStringList{"a:3x1:5 0 0"} << 1
            << QStringList{"db.ft1:2: 1 values in a row of record \"a\", which has 3; the missing"};
        QTest::newRow("data line without the final semicolon loses its last value")
            << QByteArray("a;1;1;2;1;\n5;6\nEOR\n") << QStringList{"a:2x1:5 0"} << 1
            << QStringList{"db.ft1:2: no \";\" after the last value \"6\"",
                           "db.ft1:2: 1 values in a row"};
        QTest::newRow("eor in lower case is a data line")
            << QByteArray("a;1;1;1;2;\neor\n5;\nEOR\n") << QStringList{"a:1x2:0 5"} << 1
            << QStringList{"db.ft1:2: no \";\" after the last value \"eor\"",
                           "db.ft1:2: 0 values in a row"};
        QTest::newRow("fewer rows than the height")
            << QByteArray("a;1;1;1;3;\n5;\nEOR\nb;1;1;1;1;\n7;\nEOR\n")
            << QStringList{"a:1x3:5 0 0", "b:1x1:7"} << 2
            << QStringList{"db.ft1:3: record \"a\" ends after 1 of its 3 rows"};
        QTest::newRow("new header inside an open record")
            << QByteArray("a;1;1;1;2;\n5;\nb;1;1;1;1;\n7;\nEOR\n") << QStringList{"b:1x1:7"} << 2
            << QStringList{"db.ft1:3: record \"a\" (line 1) has no EOR before this header"};
        QTest::newRow("new header after the last row of an open record")
            << QByteArray("a;1;1;1;1;\n5;\nb;1;1;1;1;\n7;\nEOR\n") << QStringList{"b:1x1:7"} << 2
            << QStringList{"db.ft1:3: record \"a\" (line 1) has no EOR"};
        QTest::newRow("value that is not a number")
            << QByteArray("a;1;1;2;1;\n5;abc;\nEOR\n") << QStringList{"a:2x1:5 0"} << 1
            << QStringList{"db.ft1:2: \"abc\" is not a number; it reads as 0"};
        QTest::newRow("sizes larger than the file can hold")
            << QByteArray("big;1;1;100000;100000;\n1;2;\nEOR\nb;1;1;1;1;\n7;\nEOR\n")
            << QStringList{"b:1x1:7"} << 2
            << QStringList{"db.ft1:1: record \"big\" declares 100000 x 100000 values, more than"};
        QTest::newRow("sizes whose product overflows an int")
            << QByteArray("big;1;1;2147483647;2147483647;\nEOR\n") << QStringList{} << 1
            << QStringList{"db.ft1:1: record \"big\" declares 2147483647 x 2147483647"};
        QTest::newRow("skipped record ends early at a clear header")
            << QByteArray("a;1;\n5;\nb;1;1;1;1;\n7;\nEOR\n") << QStringList{"b:1x1:7"} << 2
            << QStringList{"db.ft1:1: header line with 3 of the five fields"};
        QTest::newRow("record cut off by the end of the file")
            << QByteArray("a;1;1;2;2;\n5;6;\n7;8;\n") << QStringList{} << 1
            << QStringList{"db.ft1:1: record \"a\" has no EOR before the end of the file"};
    }
    void malformed_files()
    {
        QFETCH(QByteArray, text);
        QFETCH(QStringList, maps);
        QFETCH(int, count);
        QFETCH(QStringList, problems);
        const Loaded loaded = load_text(text);
        QCOMPARE(describe(loaded.maps), maps);
        QCOMPARE(loaded.message,
                 QString("From opened database file restored %1 images").arg(count));
        const QStringList lines = loaded.console.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), problems.size());
        for (int k = 0; k < problems.size(); ++k) {
            QVERIFY2(lines[k].startsWith(problems[k]), qPrintable(lines[k]));
        }
    }

    void missing_file_leaves_message_and_database_alone()
    {
        ScopedWorkdir dir;
        QList<FeatureMap> database = {FeatureMap::allocate(1, 1, "kept")};
        QString message = "before";
        ConsoleCapture console;
        ImageMatcher(50, 1, ImageMatcher::Quiet{}).load_database("nowhere.ft1", database, message);
        QCOMPARE(console.text(), QString("file with precomputed db was not opened\n"
                                         "nowhere.ft1: No such file or directory\n"));
        QCOMPARE(message, QString("before"));
        QCOMPARE(database.size(), 1);
    }

    void folder_is_not_a_database()
    {
        ScopedWorkdir dir;
        QVERIFY(dir.mkpath("folder.ft1"));
        QList<FeatureMap> database;
        QString message;
        ConsoleCapture console;
        ImageMatcher(50, 1, ImageMatcher::Quiet{}).load_database("folder.ft1", database, message);
        QCOMPARE(console.text(),
                 QString("file with precomputed db was not opened\nfolder.ft1: is a folder\n"));
    }

    void loading_appends_to_what_is_there()
    {
        const QByteArray text("a;1;1;1;1;\n5;\nEOR\n");
        const Loaded once = load_text(text);
        const Loaded twice = load_text(text, once.maps);
        QCOMPARE(describe(twice.maps), (QStringList{"a:1x1:5", "a:1x1:5"}));
        QVERIFY(twice.maps[0].values != twice.maps[1].values);
    }

    // What the builder writes reads back, with the reference's values, name and sizes.
    void built_databases_read_back()
    {
        ScopedWorkdir dir;
        QVERIFY(dir.mkpath("images"));
        std::mt19937 rng(9);
        for (int k = 0; k < 8; ++k) {
            const FeatureMap grey = random_grey_map(rng, 40 + 9 * k, 70 - 3 * k);
            QVERIFY(save_grey_image(QString("images/i%1.png").arg(k), grey.width, grey.height,
                                    [&](int x, int y) { return int(grey.at(x, y)); }));
        }
        ImageMatcher matcher(4, 2, ImageMatcher::Quiet{});
        {
            ConsoleCapture console;
            matcher.build_database("images", "back.ft1");
        }
        compare_with_reference("precomputed_databases/back.ft1");
    }

    // Random well-formed files with every spelling of numbers Qt accepts: the same
    // maps as the step-by-step reading with readLine, split and toFloat.
    void random_files_match_the_reference_reading()
    {
        ScopedWorkdir dir;
        std::mt19937 rng(11);
        std::uniform_int_distribution<int> size(-1, 6);
        std::uniform_int_distribution<int> pick(0, 19);
        std::uniform_real_distribution<float> value(-600.f, 600.f);
        const char *spellings[] = {"nan",
                                   "NaN",
                                   "inf",
                                   "-inf",
                                   "+inf",
                                   "1e5",
                                   "-0",
                                   ".5",
                                   "5.",
                                   "1E-3",
                                   "007",
                                   "3.40282e+38",
                                   "1e-40",
                                   "+2",
                                   "1e39",
                                   " 4 ",
                                   "1.5e+05",
                                   "x",
                                   "",
                                   "5\xc3",
                                   "\xc2\xa0"
                                   "3"};
        for (int file = 0; file < 60; ++file) {
            QByteArray text;
            const int records = pick(rng) % 6;
            for (int r = 0; r < records; ++r) {
                const int width = size(rng);
                const int height = size(rng);
                // Names with bytes of every kind, invalid UTF-8 among them.
                QByteArray name = "n" + QByteArray::number(r);
                const char *odd[] = {"\xc3\xa9", "\xc3",         "\xe2\x82",
                                     "\xff",     "\xef\xbb\xbf", "\x80"};
                while (pick(rng) < 4) {
                    name += odd[pick(rng) % std::size(odd)];
                }
                text += name + QString(";3;3;%1;%2;\n").arg(width).arg(height).toUtf8();
                for (int row = 0; row < height; ++row) {
                    for (int q = 0; q < width; ++q) {
                        const int which = pick(rng);
                        text += which < int(std::size(spellings))
                                    ? QByteArray(spellings[which])
                                    : reference::stream_text(value(rng)).toUtf8();
                        text += ';';
                    }
                    text += pick(rng) == 0 ? "\r\n" : "\n";
                    if (pick(rng) == 0) {
                        text += "\n";
                    }
                }
                text += "EOR\n";
            }
            QVERIFY(write_file("random.ft1", text));
            QList<FeatureMap> maps;
            QString message;
            ConsoleCapture console;
            ImageMatcher(1, 1, ImageMatcher::Quiet{}).load_database("random.ft1", maps, message);
            const reference::LoadedDatabase expected = reference::load("random.ft1");
            QCOMPARE(message, ft1_summary(expected.count));
            QCOMPARE(describe(maps), describe(expected.maps));
        }
    }

    // Garbage of every kind: nothing crashes, every loaded map holds all its values.
    void random_garbage_is_survived()
    {
        ScopedWorkdir dir;
        std::mt19937 rng(13);
        std::uniform_int_distribution<int> byte(0, 255);
        std::uniform_int_distribution<int> pick(0, 9);
        const QByteArray valid("cat;1;1;3;2;\n1;2;3;\n4;5;6;\nEOR\n");
        const char tokens[][8] = {";", "\n", "EOR", "5", "-1", "99999", "\r", "\xc3", "e", "a;"};
        for (int round = 0; round < 400; ++round) {
            QByteArray text;
            const int pieces = 1 + pick(rng) * 20;
            for (int k = 0; k < pieces; ++k) {
                switch (pick(rng) % 3) {
                case 0:
                    text += valid;
                    break;
                case 1:
                    text += tokens[pick(rng)];
                    break;
                default:
                    text += char(byte(rng));
                }
            }
            if (round % 2) { // cut a valid text anywhere
                text.truncate(pick(rng) * text.size() / 10);
            }
            QVERIFY(write_file("garbage.ft1", text));
            QList<FeatureMap> maps;
            QString message;
            ConsoleCapture console;
            ImageMatcher(1, 1, ImageMatcher::Quiet{}).load_database("garbage.ft1", maps, message);
            QVERIFY(message.startsWith("From opened database file restored "));
            for (const FeatureMap &map : maps) {
                QVERIFY(map.width > 0 && map.height > 0 && map.has_values());
            }
        }
    }

    void progress_counts_records()
    {
        ScopedWorkdir dir;
        QVERIFY(write_file("p.ft1", "a;1;1;1;1;\n5;\nEOR\nb;1;1;0;0;\nEOR\nc;1;1;1;1;\n6;\nEOR\n"));
        QList<QPair<int, int>> calls;
        LoadOptions options;
        options.progress = [&](int done, int total) { calls.append({done, total}); };
        const Ft1Contents contents = read_ft1("p.ft1", options);
        QCOMPARE(contents.maps.size(), 2);
        QCOMPARE(calls, (QList<QPair<int, int>>{{1, 3}, {2, 3}}));
    }

    // Maps handed to a callback as they are read: the maps a read that keeps them gives, in
    // file order, each let go by the reader before the next is handed; the rest as kept.
    void maps_handed_over_one_at_a_time_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("well-formed records")
            << QByteArray("a;1;1;2;2;\n1;2;\n3;4;\nEOR\nb;1;1;1;1;\n5;\nEOR\n"
                          "c;1;1;3;1;\n6;7;8;\nEOR\n");
        QTest::newRow("records without cells, cut off, repaired and unfinished")
            << QByteArray("e;9;9;0;0;\nEOR\na;1;1;1;2;\n5;\nb;1;1;2;1;\n7;x;\nEOR\n"
                          "c;1;1;1;3;\n9;\nEOR\nd;1;1;1;1;\n");
    }
    void maps_handed_over_one_at_a_time()
    {
        QFETCH(QByteArray, text);
        ScopedWorkdir dir;
        QVERIFY(write_file("s.ft1", text));
        TextReadOptions options;
        QList<QPair<int, int>> kept_calls;
        options.progress = [&](int done, int total) { kept_calls.append({done, total}); };
        const Ft1Contents kept = read_ft1_text("s.ft1", options);

        QStringList handed;
        std::weak_ptr<float[]> previous;
        bool let_go = true;
        options.on_map = [&](const FeatureMap &map) {
            let_go = let_go && previous.expired();
            handed << describe(map);
            previous = map.values;
        };
        QList<QPair<int, int>> calls;
        options.progress = [&](int done, int total) { calls.append({done, total}); };
        const Ft1Contents streamed = read_ft1_text("s.ft1", options);
        QVERIFY(let_go && previous.expired());
        QCOMPARE(handed, describe(kept.maps));
        QVERIFY(streamed.maps.isEmpty());
        QCOMPARE(calls, kept_calls);
        QCOMPARE(streamed.header_lines, kept.header_lines);
        QCOMPARE(streamed.records.size(), kept.records.size());
        QCOMPARE(streamed.complete_records(), kept.complete_records());
        QCOMPARE(streamed.problems, kept.problems);
    }
};

QTEST_GUILESS_MAIN(TestDatabaseLoader)
#include "tst_database_loader.moc"
