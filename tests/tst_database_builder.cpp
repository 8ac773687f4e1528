// Building ".ft1" databases from folders of images.

#include "ft1/database_builder.h"
#include "maps/grey_map.h"
#include "matcher/image_matcher.h"
#include "reference/reference_build.h"
#include "reference/reference_descriptor.h"
#include "reference/reference_ft1.h"
#include "test_support.h"

#include <QtTest>

#include <csignal>
#include <sys/resource.h>

namespace {

const QRegularExpression time_line("^\\d+\t$");

QByteArray built(ImageMatcher &matcher, const QString &directory, const QString &name,
                 QString *console_text = nullptr)
{
    ConsoleCapture console;
    matcher.build_database(directory, name);
    if (console_text) {
        *console_text = console.text();
    }
    return file_bytes("precomputed_databases/" + name);
}

int ramp(int x, int)
{
    return x;
}

} // namespace

class TestDatabaseBuilder : public QObject
{
    Q_OBJECT

private slots:
    // Radius 50, step 50: sizes 0 x 0, 1 x 0, -1 x 4 and 1 x 4, names in order ignoring case,
    // the base name cut at the first dot, a text file and a subdirectory left out.
    void records_of_a_small_folder_byte_for_byte()
    {
        ScopedWorkdir dir;
        QVERIFY(dir.mkpath("images/sub"));
        QVERIFY(save_grey_image("images/b.png", 100, 100, ramp));
        QVERIFY(save_grey_image("images/C.png", 120, 80, ramp));
        QVERIFY(save_grey_image("images/d.png", 50, 300, ramp));
        QVERIFY(save_grey_image("images/photo.large.png", 101, 300, ramp));
        QVERIFY(save_grey_image("images/sub/inner.png", 200, 200, ramp));
        QVERIFY(write_file("images/notes.txt", "not an image\n"));

        ImageMatcher matcher(50, 1, ImageMatcher::Quiet{});
        QString console;
        const QByteArray text = built(matcher, "images", "small.ft1", &console);
        QCOMPARE(text, QByteArray("b;100;100;0;0;\n"
                                  "EOR\n"
                                  "C;120;80;1;0;\n"
                                  "EOR\n"
                                  "d;50;300;-1;4;\n"
                                  "\n\n\n\n"
                                  "EOR\n"
                                  "photo;101;300;1;4;\n"
                                  "-1;\n-1;\n-1;\n-1;\n"
                                  "EOR\n"));
        QCOMPARE(console.section('\n', 0, 0),
                 QString("skipped notes.txt: Unsupported image format"));
        QVERIFY2(time_line.match(console.section('\n', 1)).hasMatch(), qPrintable(console));
        QCOMPARE(matcher.weights_x.size(), 51);
    }

    // Random images at several settings: the file is what a QTextStream writes for the maps
    // of the literal computation.
    void random_folders_match_the_stream_text_data()
    {
        QTest::addColumn<int>("radius");
        QTest::addColumn<int>("step_divisor");
        QTest::newRow("radius 5, divisor 1") << 5 << 1;
        QTest::newRow("radius 8, divisor 4") << 8 << 4;
        QTest::newRow("radius 3, divisor 3") << 3 << 3;
    }
    void random_folders_match_the_stream_text()
    {
        QFETCH(int, radius);
        QFETCH(int, step_divisor);
        ScopedWorkdir dir;
        QVERIFY(dir.mkpath("images"));
        std::mt19937 rng(radius * 10 + step_divisor);
        std::uniform_int_distribution<int> size(4, 90);
        QByteArray expected;
        for (int k = 0; k < 12; ++k) {
            const QString name = QString("img%1").arg(k, 2, 10, QLatin1Char('0'));
            const FeatureMap grey = random_grey_map(rng, size(rng), size(rng), name);
            QVERIFY(save_grey_image("images/" + name + ".png", grey.width, grey.height,
                                    [&](int x, int y) { return int(grey.at(x, y)); }));
            const FeatureMap descriptor = reference::descriptor_map(grey, radius, step_divisor);
            expected += reference::record_text(name, grey.width, grey.height, descriptor);
        }
        ImageMatcher matcher(radius, step_divisor, ImageMatcher::Quiet{});
        QCOMPARE(built(matcher, "images", "random.ft1"), expected);
    }

    void folders_without_images_write_no_database_data()
    {
        QTest::addColumn<QString>("directory");
        QTest::newRow("empty folder") << "empty";
        QTest::newRow("missing folder") << "nowhere";
    }
    void folders_without_images_write_no_database()
    {
        QFETCH(QString, directory);
        ScopedWorkdir dir;
        QVERIFY(dir.mkpath("empty"));
        ImageMatcher matcher(50, 1, ImageMatcher::Quiet{});
        QString console;
        QCOMPARE(built(matcher, directory, "none.ft1", &console), QByteArray());
        QVERIFY(!QFile::exists("precomputed_databases/none.ft1"));
        QCOMPARE(console, QString("no image read from %1: no database written\n").arg(directory));
    }

    void building_again_replaces_the_file()
    {
        ScopedWorkdir dir;
        QVERIFY(dir.mkpath("precomputed_databases"));
        QVERIFY(dir.mkpath("images"));
        QVERIFY(write_file("precomputed_databases/db.ft1", QByteArray(5000, 'x')));
        QVERIFY(save_grey_image("images/one.png", 100, 100, ramp));
        ImageMatcher matcher(50, 1, ImageMatcher::Quiet{});
        QCOMPARE(built(matcher, "images", "db.ft1"), QByteArray("one;100;100;0;0;\nEOR\n"));
    }

    void file_that_cannot_be_created_is_reported()
    {
        ScopedWorkdir dir;
        // A plain file where the folder of the databases should be.
        QVERIFY(write_file("precomputed_databases", "in the way"));
        ImageMatcher matcher(50, 1, ImageMatcher::Quiet{});
        QString console;
        built(matcher, ".", "x.ft1", &console);
        QCOMPARE(console, QString("cannot open file for writing database\nprecomputed_databases/"
                                  "x.ft1: Not a directory\n"));
        QCOMPARE(file_bytes("precomputed_databases"), QByteArray("in the way"));
    }

    void names_that_would_break_the_file_are_skipped()
    {
        ScopedWorkdir dir;
        QVERIFY(dir.mkpath("images"));
        for (const char *name : {"a;b.png", "EOR.png", "line\nbreak.png", "fine.png", "eor.png"}) {
            QVERIFY(save_grey_image(QString("images/") + name, 100, 100, ramp));
        }
        ImageMatcher matcher(50, 1, ImageMatcher::Quiet{});
        QString console;
        const QByteArray text = built(matcher, "images", "names.ft1", &console);
        QCOMPARE(text, QByteArray("eor;100;100;0;0;\nEOR\nfine;100;100;0;0;\nEOR\n"));
        QVERIFY(console.contains("skipped a;b.png: a \";\" would split its record\n"));
        QVERIFY(console.contains("skipped EOR.png: \"EOR\" would end its record\n"));
        QVERIFY(
            console.contains("skipped line\\nbreak.png: a line break would split its record\n"));
    }

    // Both are written, as the system writes them; the console names both files.
    void images_under_one_base_name_are_told()
    {
        ScopedWorkdir dir;
        QVERIFY(dir.mkpath("images"));
        for (const char *name :
             {"2021.03.04 beach.png", "2021.03.05 coins.png", "other.png", "2021.jpg"}) {
            QVERIFY(save_grey_image(QString("images/") + name, 100, 100, ramp));
        }
        ImageMatcher matcher(50, 1, ImageMatcher::Quiet{});
        QString console;
        const QByteArray text = built(matcher, "images", "names.ft1", &console);
        QCOMPARE(text.count("2021;100;100;0;0;\n"), 3);
        QVERIFY2(console.startsWith("two images stored as 2021: 2021.03.04 beach.png and "
                                    "2021.03.05 coins.png\n"
                                    "two images stored as 2021: 2021.03.04 beach.png and "
                                    "2021.jpg\n"),
                 qPrintable(console));
    }

    void names_are_written_in_the_locale_encoding()
    {
        ScopedWorkdir dir;
        QVERIFY(dir.mkpath("images"));
        QVERIFY(save_grey_image(QString::fromUtf8("images/caf\xc3\xa9.png"), 100, 100, ramp));
        ImageMatcher matcher(50, 1, ImageMatcher::Quiet{});
        QCOMPARE(built(matcher, "images", "utf.ft1"),
                 reference::record_text(QString::fromUtf8("caf\xc3\xa9"), 100, 100,
                                        FeatureMap::allocate(0, 0)));
    }

    // A disk that fills up: the error is reported and the database built before survives.
    void write_error_keeps_the_previous_database()
    {
        ScopedWorkdir dir;
        QVERIFY(dir.mkpath("precomputed_databases"));
        QVERIFY(dir.mkpath("images"));
        QVERIFY(write_file("precomputed_databases/db.ft1", "previous\n"));
        for (int k = 0; k < 6; ++k) {
            QVERIFY(save_grey_image(QString("images/%1.png").arg(k), 300, 300,
                                    [k](int x, int y) { return (x * y + k) % 256; }));
        }
        ImageMatcher matcher(5, 1, ImageMatcher::Quiet{});
        QString console;
        {
            rlimit previous{};
            getrlimit(RLIMIT_FSIZE, &previous);
            rlimit small = previous;
            small.rlim_cur = 4096;
            auto *old_handler = std::signal(SIGXFSZ, SIG_IGN);
            setrlimit(RLIMIT_FSIZE, &small);
            built(matcher, "images", "db.ft1", &console);
            setrlimit(RLIMIT_FSIZE, &previous);
            std::signal(SIGXFSZ, old_handler);
        }
        QVERIFY2(console.startsWith("cannot write database file precomputed_databases/db.ft1: "),
                 qPrintable(console));
        QCOMPARE(file_bytes("precomputed_databases/db.ft1"), QByteArray("previous\n"));
        QCOMPARE(QDir("precomputed_databases").entryList(QDir::Files).size(), 1);
    }

    // Images decoded and mapped on several threads: the file is byte for byte the one written
    // on one thread, and the one of the literal build.
    void parallel_builds_write_the_same_bytes()
    {
        ScopedWorkdir dir;
        QVERIFY(dir.mkpath("images"));
        std::mt19937 rng(17);
        std::uniform_int_distribution<int> size(10, 160);
        for (int k = 0; k < 25; ++k) {
            const FeatureMap grey = random_grey_map(rng, size(rng), size(rng));
            QVERIFY(save_grey_image(QString("images/p%1.png").arg(k), grey.width, grey.height,
                                    [&](int x, int y) { return int(grey.at(x, y)); }));
        }
        QVERIFY(write_file("images/m.txt", "text"));
        QVERIFY(reference::build_database("images", "reference.ft1", 6, 2));
        const QByteArray expected = file_bytes("reference.ft1");
        QVERIFY(expected.count("EOR\n") == 25);
        for (int threads : {1, 2, 5, 0}) {
            ImageMatcher matcher(6, 2, ImageMatcher::Quiet{});
            BuildOptions options;
            options.threads = threads;
            QList<int> done;
            options.progress = [&](int count, int) { done.append(count); };
            ConsoleCapture console;
            QVERIFY(matcher.build_database("images", "parallel.ft1", options));
            QCOMPARE(file_bytes("precomputed_databases/parallel.ft1"), expected);
            QCOMPARE(done.size(), 26);
            QCOMPARE(done.last(), 26);
        }
    }

    void progress_counts_every_listed_file()
    {
        ScopedWorkdir dir;
        QVERIFY(dir.mkpath("images"));
        QVERIFY(save_grey_image("images/a.png", 120, 120, ramp));
        QVERIFY(write_file("images/b.txt", "text"));
        QVERIFY(save_grey_image("images/c.png", 120, 120, ramp));
        ImageMatcher matcher(50, 1, ImageMatcher::Quiet{});
        QList<QPair<int, int>> calls;
        BuildOptions options;
        options.progress = [&](int done, int total) { calls.append({done, total}); };
        ConsoleCapture console;
        matcher.build_database("images", "p.ft1", options);
        QCOMPARE(calls, (QList<QPair<int, int>>{{1, 3}, {2, 3}, {3, 3}}));
    }
};

QTEST_GUILESS_MAIN(TestDatabaseBuilder)
#include "tst_database_builder.moc"
