// Search in DB, Multi search in DB and Monster compare, end to end in a working directory.

#include "evaluation/radius_sweep.h"
#include "matcher/image_matcher.h"
#include "search_workspace.h"
#include "test_support.h"
#include "window_support.h"

#include <QtTest>

namespace {

QStringList lines_of(const QString &text)
{
    return text.split('\n', Qt::SkipEmptyParts);
}

} // namespace

class TestEvaluationCommands : public QObject
{
    Q_OBJECT

private slots:
    void search_shows_both_images_and_the_time_data()
    {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QString>("found");
        QTest::addColumn<bool>("found_image_shown");
        QTest::newRow("base name cut at the first dot") << "shots/cat.part.png"
                                                        << "cat" << true;
        QTest::newRow("a bmp pattern shows the png image") << "shots/dog.bmp"
                                                           << "dog" << true;
        QTest::newRow("an upper-case suffix shows the lower-case file") << "shots/owl.PNG"
                                                                        << "owl" << true;
    }
    void search_shows_both_images_and_the_time()
    {
        QFETCH(QString, pattern);
        QFETCH(QString, found);
        QFETCH(bool, found_image_shown);
        Workspace w;
        w.open_database();
        const int seed = QStringList{"cat", "dog", "owl"}.indexOf(found);
        QImage crop(80, 60, QImage::Format_RGB32);
        for (int y = 0; y < 60; ++y) {
            for (int x = 0; x < 80; ++x) {
                const int g = texture(seed, x + 20, y + 30);
                crop.setPixel(x, y, qRgb(g, g, g));
            }
        }
        QVERIFY(crop.save(pattern, pattern.endsWith("bmp") ? "BMP" : "PNG"));
        w.script->files << pattern;
        ConsoleCapture console;
        run_command(*w.window, "search_in_db");
        const QStringList lines = lines_of(console.text());
        QVERIFY2(QRegularExpression("^\\d+\t100$").match(lines[0]).hasMatch(),
                 qPrintable(lines[0]));
        QCOMPARE(lines[1], "search2 = " + found);
        // The answer follows the system's lines: the crop is found where it was cut.
        QCOMPARE(lines[2], "answer: " + found + " (found)");
        QVERIFY2(lines.contains("  crop        x 20, y 30, 80 x 60 pixels (located over every "
                                "grid phase near the cell)"),
                 qPrintable(console.text()));
        QCOMPARE(w.script->shown.last(),
                 QString("file: Choose image pattern | Image files (*.png *.jpg *.jpeg *.bmp)"));
        QVERIFY(w.has_picture("label_im1"));
        QCOMPARE(w.has_picture("label_im2"), found_image_shown);
        QVERIFY(QRegularExpression("^pattern found in db in \\d+ ms$")
                    .match(label_text(*w.window, "label_out"))
                    .hasMatch());
        QCOMPARE(w.window->image_matcher().radius, 10);
    }

    // A pattern that does not read clears the last answer; a cancelled dialog leaves it.
    void search_without_a_loadable_pattern_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("label");
        QTest::newRow("dialog cancelled") << ""
                                          << "before";
        QTest::newRow("missing file") << "shots/none.png"
                                      << "";
        QTest::newRow("text file named png") << "shots/text.png"
                                             << "";
    }
    void search_without_a_loadable_pattern()
    {
        QFETCH(QString, path);
        QFETCH(QString, label);
        Workspace w;
        QVERIFY(write_file("shots/text.png", "not an image"));
        widget<QLabel>(*w.window, "label_out")->setText("before");
        w.script->files << path;
        ConsoleCapture console;
        run_command(*w.window, "search_in_db");
        QCOMPARE(console.text(), QString("not supported image file\n"));
        QCOMPARE(label_text(*w.window, "label_out"), label);
        QVERIFY(!w.has_picture("label_im1"));
        QCOMPARE(w.window->image_matcher().radius, 50); // not copied
    }

    void search_with_radius_zero_is_refused_before_anything()
    {
        Workspace w;
        widget<QSpinBox>(*w.window, "spinBox_h")->setValue(0);
        w.script->files << "database/cat.png";
        ConsoleCapture console;
        run_command(*w.window, "search_in_db");
        QCOMPARE(console.text(), QString("invalid window settings: radius 0, step divisor 1\n"));
        QVERIFY(w.script->shown.isEmpty());
        QVERIFY(!w.has_picture("label_im1"));
        QCOMPARE(w.window->image_matcher().radius, 50);
    }

    void search_in_an_empty_database()
    {
        Workspace w;
        ConsoleCapture console;
        w.script->files << "database/cat.png";
        run_command(*w.window, "search_in_db");
        QCOMPARE(console.text(), QString("database is empty, exiting...\nsearch2 = \n"));
        QVERIFY(w.has_picture("label_im1"));
        QVERIFY(!w.has_picture("label_im2"));
        QCOMPARE(label_text(*w.window, "label_out"), QString()); // claims no find
    }

    void search_for_a_pattern_larger_than_every_map()
    {
        Workspace w;
        w.open_database();
        save_texture("shots/big.png", 0, 400, 300);
        w.script->files << "shots/big.png";
        ConsoleCapture console;
        run_command(*w.window, "search_in_db");
        const QStringList lines = lines_of(console.text());
        QCOMPARE(lines[1], QString("search2 = "));
        QCOMPARE(lines[2], QString("answer: - (no window)"));
        QVERIFY(!w.has_picture("label_im2"));
    }

    // cat.part found, CAT not (case matters), a text file and a subfolder ignored.
    void multi_search_rate()
    {
        Workspace w;
        w.open_database();
        save_texture("patterns/cat.part.png", 0, 80, 60, 20, 30);
        save_texture("patterns/CAT.png", 0, 80, 60, 40, 10);
        QVERIFY(write_file("patterns/notes.txt", "text"));
        QVERIFY(w.dir.mkpath("patterns/sub"));
        save_texture("patterns/sub/dog.png", 1, 80, 60);
        // The matcher still holds radius 50 from the start (h is copied by a search or a
        // build): the search runs as it always did, and the console says it does not fit.
        for (int run = 0; run < 2; ++run) {
            ConsoleCapture console;
            run_command(*w.window, "multi_search_in_db");
            QVERIFY2(QRegularExpression("^\\d+\t50\nwarning: the database was not built with "
                                        "radius 50, step divisor 1 \\(built with radius 10, "
                                        "step divisor 1\\?\\)\n$")
                         .match(console.text())
                         .hasMatch(),
                     qPrintable(console.text()));
            QCOMPARE(label_text(*w.window, "label_out"), QString("Success rate: 50 %"));
        }
    }

    void multi_search_without_database_or_patterns_data()
    {
        QTest::addColumn<bool>("load");
        QTest::addColumn<bool>("patterns");
        QTest::addColumn<QString>("line");
        QTest::newRow("empty database") << false << true << "database is empty, exiting...\n";
        QTest::newRow("no readable pattern")
            << true << false
            << "no patterns to search\nwarning: the database was not built with radius 50, "
               "step divisor 1 (built with radius 10, step divisor 1?)\n";
    }
    void multi_search_without_database_or_patterns()
    {
        QFETCH(bool, load);
        QFETCH(bool, patterns);
        QFETCH(QString, line);
        Workspace w;
        if (load) {
            w.open_database();
        }
        if (patterns) {
            save_texture("patterns/cat.png", 0, 80, 60);
        }
        QVERIFY(write_file("patterns/readme.txt", "not an image"));
        ConsoleCapture console;
        run_command(*w.window, "multi_search_in_db");
        QCOMPARE(console.text(), line);
        QCOMPARE(label_text(*w.window, "label_out"), QString("Success rate: 0 %"));
    }

    // Only the file of radius 50 exists: thirteen passes report it missing and search nothing.
    void monster_compare_with_one_file()
    {
        Workspace w;
        QVERIFY(w.dir.mkpath("large"));
        save_texture("large/cat.png", 0, 240, 200);
        save_texture("large/dog.png", 1, 240, 200);
        {
            ConsoleCapture quiet;
            ImageMatcher builder(50, 1, ImageMatcher::Quiet{});
            builder.build_database("large", "db3_ft1_50.ft1");
        }
        save_texture("patterns/dog.png", 1, 150, 150, 50, 50);
        w.open_database(); // opened before: not searched by any pass
        ConsoleCapture console;
        run_command(*w.window, "monster_compare");
        const QStringList lines = lines_of(console.text());
        QCOMPARE(lines.size(), 14 * 3 - 2);
        int k = 0;
        for (int radius : sweep_radii()) {
            if (radius == 50) {
                QVERIFY2(QRegularExpression("^50\t\\d+\t100$").match(lines[k]).hasMatch(),
                         qPrintable(lines[k]));
                k += 1;
            } else {
                QCOMPARE(lines[k],
                         QString("%1\tfile with precomputed db was not opened").arg(radius));
                QCOMPARE(lines[k + 1],
                         QString("%1: No such file or directory").arg(sweep_database_path(radius)));
                QCOMPARE(lines[k + 2], QString("database is empty, exiting..."));
                k += 3;
            }
        }
        QCOMPARE(label_text(*w.window, "label_out"), QString("Success rate: 0 %"));
        QVERIFY(w.window->loaded_database().isEmpty());
        QCOMPARE(w.window->image_matcher().radius, 150);
        QCOMPARE(w.window->image_matcher().step_divisor, 1);
        QCOMPARE(widget<QSpinBox>(*w.window, "spinBox_hs")->value(), 10);
    }

    // Every pass sees its own file only: the pattern cat is found where the file of the pass
    // holds cat, whatever an earlier pass or an opened database held.
    void monster_compare_passes_are_separate()
    {
        Workspace w;
        QVERIFY(w.dir.mkpath("precomputed_databases"));
        for (int radius : sweep_radii()) {
            const char *name = radius % 20 == 0 ? "cat" : "dog";
            QVERIFY(write_file(sweep_database_path(radius),
                               QByteArray(name) + ";1;1;3;3;\n0;0;0;\n0;0;0;\n0;0;0;\nEOR\n"));
        }
        save_grey_image("patterns/cat.png", 60, 60, [](int, int) { return 90; });
        w.open_database();
        ConsoleCapture console;
        run_command(*w.window, "monster_compare");
        QStringList lines = lines_of(console.text());
        // Each file, of 1 x 1 pixel images with 3 x 3 maps, fits no radius: a warning each.
        QStringList warnings;
        for (int k = lines.size() - 1; k >= 0; --k) {
            if (lines[k].startsWith("warning: ")) {
                warnings.prepend(lines.takeAt(k));
            }
        }
        QCOMPARE(warnings.size(), 14);
        QCOMPARE(warnings.first(), QString("warning: precomputed_databases/db3_ft1_20.ft1: the "
                                           "database was not built with radius 20, step "
                                           "divisor 1"));
        QCOMPARE(lines.size(), 14);
        for (int k = 0; k < 14; ++k) {
            const int radius = sweep_radii()[k];
            const QStringList fields = lines[k].split('\t');
            QCOMPARE(fields.size(), 3);
            QCOMPARE(fields[0], QString::number(radius));
            QCOMPARE(fields[2], QString(radius % 20 == 0 ? "100" : "0"));
        }
        QCOMPARE(label_text(*w.window, "label_out"), QString("Success rate: 0 %"));

        // A multi search afterwards works with radius 150 and finds the database empty.
        console.clear();
        run_command(*w.window, "multi_search_in_db");
        QCOMPARE(console.text(), QString("database is empty, exiting...\n"));
    }
};

QTEST_MAIN(TestEvaluationCommands)
#include "tst_evaluation_commands.moc"
