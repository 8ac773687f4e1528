// The command-line front end, run as a separate process.

#include "matcher/image_matcher.h"
#include "test_support.h"
#include "window_support.h"

#include <QProcess>
#include <QtTest>

namespace {

struct Run {
    int status = -1;
    QString out;
    QString err;
};

Run cli(const QStringList &arguments, const QString &directory = QDir::currentPath())
{
    QProcess process;
    process.setWorkingDirectory(directory);
    process.start(PICTRACE_CLI, arguments);
    process.waitForFinished(600000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

int texture(int seed, int x, int y)
{
    return int(128 + 60 * std::sin(x * 0.05 * (seed + 1) + seed) +
               50 * std::cos(y * 0.04 * (seed + 2))) %
           256;
}

// database/ with cat, dog and owl; patterns/ with crops of cat and dog at multiples of 10.
struct Workspace {
    Workspace()
    {
        dir.mkpath("database");
        dir.mkpath("patterns");
        const QStringList names = {"cat", "dog", "owl"};
        for (int k = 0; k < 3; ++k) {
            save_grey_image("database/" + names[k] + ".png", 340, 320,
                            [k](int x, int y) { return texture(k, x, y); });
        }
        for (int k = 0; k < 2; ++k) {
            save_grey_image("patterns/" + names[k] + ".crop.png", 90, 70,
                            [k](int x, int y) { return texture(k, x + 40, y + 30); });
        }
        save_grey_image("patterns/owl.png", 90, 70, [](int x, int y) { return texture(1, x, y); });
    }
    ScopedWorkdir dir;
};

void match_lines(const QString &text, const QStringList &patterns)
{
    const QStringList lines = text.split('\n');
    QCOMPARE(lines.size(), patterns.size() + 1);
    QCOMPARE(lines.last(), QString());
    for (int k = 0; k < patterns.size(); ++k) {
        QVERIFY2(
            QRegularExpression("^" + patterns[k] + "$").match(lines[k]).hasMatch(),
            qPrintable(QString("line %1: \"%2\" against %3").arg(k).arg(lines[k], patterns[k])));
    }
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void usage_errors_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("no command") << QStringList{} << "no command given";
        QTest::newRow("unknown command")
            << QStringList{"frobnicate"} << "unknown command frobnicate";
        QTest::newRow("missing argument")
            << QStringList{"build", "images"} << "wrong number of arguments for build";
        QTest::newRow("too many arguments")
            << QStringList{"monster", "extra"} << "wrong number of arguments for monster";
        QTest::newRow("number that does not parse")
            << QStringList{"-r", "abc", "monster"} << "-r needs a whole number, not \"abc\"";
        QTest::newRow("option without its value")
            << QStringList{"--radius"} << "--radius needs a value";
        QTest::newRow("unknown option")
            << QStringList{"--bogus", "1", "monster"} << "unknown option --bogus";
    }
    void usage_errors()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        const Run run = cli(arguments);
        QCOMPARE(run.status, 2);
        QCOMPARE(run.out, QString());
        QVERIFY2(run.err.startsWith("pictrace-cli: " + message + "\n"), qPrintable(run.err));
        QVERIFY(run.err.contains("usage: pictrace-cli [options] COMMAND [ARGS]"));
    }

    void help()
    {
        const Run run = cli({"--help"});
        QCOMPARE(run.status, 0);
        QVERIFY(run.out.startsWith("usage: pictrace-cli"));
        QVERIFY(run.out.contains("build-sweep IMAGE_DIR"));
    }

    // The front end and the window write the same database for the same folder and settings.
    void build_agrees_with_the_window()
    {
        Workspace w;
        const Run run = cli({"-r", "10", "-c", "2", "build", "database", "cli"});
        QCOMPARE(run.status, 0);
        match_lines(run.out, {"\\d+\tDatabase pre-processing done"});

        auto script = std::make_shared<DialogScript>();
        {
            ConsoleCapture quiet;
            MainWindow window;
            DialogScript::install(window, script);
            widget<QSpinBox>(window, "spinBox_h")->setValue(5);
            widget<QSpinBox>(window, "spinBox_c")->setValue(2); // h' = 10
            script->directories << "database";
            script->texts << qMakePair(QString("window"), true);
            run_command(window, "pre_process_database");
            QTRY_VERIFY_WITH_TIMEOUT(!window.job_running(), 60000);
        }
        const QByteArray from_cli = file_bytes("precomputed_databases/cli.ft1");
        QVERIFY(from_cli.count("EOR\n") == 3);
        QCOMPARE(from_cli, file_bytes("precomputed_databases/window.ft1"));
    }

    void inputs_that_cannot_be_used_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::newRow("radius 0") << QStringList{"-r", "0", "build", "database", "x"}
                                  << "invalid window settings: radius 0, step divisor 1\n"
                                  << "";
        QTest::newRow("radius below the divisor")
            << QStringList{"-r", "3", "-c", "4", "multi", "x.ft1"}
            << "invalid window settings: radius 3, step divisor 4\n"
            << "";
        QTest::newRow("missing image folder") << QStringList{"build", "nowhere", "x"} << ""
                                              << "pictrace-cli: no folder nowhere\n";
        QTest::newRow("empty name") << QStringList{"build", "database", ""} << "name is not valid\n"
                                    << "";
        QTest::newRow("database that does not open")
            << QStringList{"search", "database/cat.png", "missing.ft1"}
            << "file with precomputed db was not opened\nDatabase readed\n\n"
            << "";
        QTest::newRow("pattern that does not load")
            << QStringList{"search", "nothing.png", "precomputed_databases/ok.ft1"}
            << "Database readed\nFrom opened database file restored 1 images\n"
               "not supported image file\n"
            << "";
        QTest::newRow("working folder that does not exist")
            << QStringList{"-C", "nowhere", "monster"} << ""
            << "pictrace-cli: no folder nowhere to work in\n";
    }
    void inputs_that_cannot_be_used()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, out);
        QFETCH(QString, err);
        Workspace w;
        QVERIFY(w.dir.mkpath("precomputed_databases"));
        QVERIFY(write_file("precomputed_databases/ok.ft1", "a;1;1;1;1;\n5;\nEOR\n"));
        const Run run = cli(arguments);
        QCOMPARE(run.status, 1);
        QCOMPARE(run.out, out);
        QCOMPARE(run.err, err);
        QVERIFY(!QFile::exists("precomputed_databases/x.ft1"));
    }

    void search()
    {
        Workspace w;
        QCOMPARE(cli({"-r", "10", "build", "database", "three"}).status, 0);
        const Run run = cli({"-r", "10", "search", "patterns/dog.crop.png",
                             "precomputed_databases/three.ft1", "precomputed_databases/three.ft1"});
        QCOMPARE(run.status, 0);
        match_lines(run.out, {"Database readed", "From opened database file restored 3 images",
                              "Database readed", "From opened database file restored 3 images",
                              "\\d+\t100", "search2 = dog", "pattern found in db in \\d+ ms"});
    }

    void multi_with_report()
    {
        Workspace w;
        QCOMPARE(cli({"-r", "10", "build", "database", "three"}).status, 0);
        const Run run =
            cli({"-r", "10", "--report", "report.tsv", "multi", "precomputed_databases/three.ft1"});
        QCOMPARE(run.status, 0);
        match_lines(run.out, {"Database readed", "From opened database file restored 3 images",
                              "\\d+\t66.6667", "Success rate: 66.6667 %"});
        const QStringList rows = QString::fromUtf8(file_bytes("report.tsv")).split('\n');
        QCOMPARE(rows.size(), 5);
        QCOMPARE(rows[0],
                 QString("radius\tpattern_file\tbase_name\tpicked_name\tbest_score\tx\ty\tfound"));
        // Database values are read back rounded to six digits: scores near 0, not 0.
        const QRegularExpression row(
            "^10\t(\\w+\\.\\w+(?:\\.png)?)\t(\\w+)\t(\\w+)\t([0-9.e+-]+)\t(\\d+)\t(\\d+)\t([01])$");
        const QStringList expected[] = {{"cat.crop.png", "cat", "cat", "4", "3", "1"},
                                        {"dog.crop.png", "dog", "dog", "4", "3", "1"},
                                        {"owl.png", "owl", "dog", "0", "0", "0"}};
        for (int k = 0; k < 3; ++k) {
            const QRegularExpressionMatch match = row.match(rows[k + 1]);
            QVERIFY2(match.hasMatch(), qPrintable(rows[k + 1]));
            QCOMPARE((QStringList{match.captured(1), match.captured(2), match.captured(3),
                                  match.captured(5), match.captured(6), match.captured(7)}),
                     expected[k]);
            QVERIFY(match.captured(4).toDouble() < 0.01);
        }
        QCOMPARE(rows[4], QString());
    }

    // build-sweep, then monster from another folder through -C.
    void sweep_and_monster()
    {
        Workspace w;
        const Run built = cli({"build-sweep", "database"});
        QCOMPARE(built.status, 0);
        QStringList done_lines;
        for (int k = 0; k < 14; ++k) {
            done_lines << "\\d+\tDatabase pre-processing done";
        }
        match_lines(built.out, done_lines);
        QCOMPARE(QDir("precomputed_databases").entryList(QDir::Files).size(), 14);

        const Run run = cli({"-C", w.dir.path(), "--report", w.dir.file("sweep.tsv"), "monster"},
                            QDir::tempPath());
        QCOMPARE(run.status, 0);
        QStringList patterns;
        for (int radius = 20; radius <= 150; radius += 10) {
            patterns << QString("%1\t\\d+\t[0-9.]+").arg(radius);
        }
        patterns << "Success rate: [0-9.]+ %";
        match_lines(run.out, patterns);
        const QString report = QString::fromUtf8(file_bytes("sweep.tsv"));
        QCOMPARE(report.count('\n'), 1 + 14 * 3);
        QVERIFY(report.contains("\n150\towl.png\towl\t"));
    }

    void demo_workspace_is_deterministic()
    {
        ScopedWorkdir dir;
        QCOMPARE(cli({"make-demo", "one", "2"}).status, 0);
        QCOMPARE(cli({"make-demo", "two", "2"}).status, 0);
        for (const char *file : {"database/img000.png", "patterns/img001.crop.png",
                                 "precomputed_databases/db3_ft1_20.ft1"}) {
            const QByteArray one = file_bytes(QString("one/") + file);
            QVERIFY2(!one.isEmpty(), file);
            QCOMPARE(one, file_bytes(QString("two/") + file));
        }
        QCOMPARE(QDir("one/precomputed_databases").entryList(QDir::Files).size(), 14);
        const QImage image("one/database/img001.png");
        QVERIFY(image.width() >= 400 && image.width() <= 1200);
        QVERIFY(image.height() >= 400 && image.height() <= 1200);
    }
};

QTEST_MAIN(TestCli)
#include "tst_cli.moc"
