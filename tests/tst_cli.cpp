// The command-line front end, run as a separate process.

#include "matcher/image_matcher.h"
#include "test_support.h"
#include "window_support.h"

#include <QCryptographicHash>
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

QByteArray sha1(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex();
}

// Milliseconds differ from run to run.
QString without_times(QString text)
{
    return text.replace(QRegularExpression("(^|\n)\\d+\t"), "\\1T\t")
        .replace(QRegularExpression("in \\d+ ms"), "in T ms");
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
            << QStringList{"build", "images"} << "build takes IMAGE_DIR NAME";
        QTest::newRow("too many arguments")
            << QStringList{"monster", "extra"} << "monster takes no arguments";
        QTest::newRow("number that does not parse")
            << QStringList{"-r", "abc", "monster"} << "--radius needs a whole number, not \"abc\"";
        QTest::newRow("option without its value")
            << QStringList{"--radius"} << "Missing value after '--radius'.";
        QTest::newRow("unknown option")
            << QStringList{"--bogus", "1", "monster"} << "Unknown option 'bogus'.";
        QTest::newRow("demo of no images")
            << QStringList{"make-demo", "d", "0"}
            << "make-demo needs a number of images of at least 1, not \"0\"";
    }
    // One line naming the problem and where to look, nothing on standard output.
    void usage_errors()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        ScopedWorkdir dir;
        const Run run = cli(arguments);
        QCOMPARE(run.status, 2);
        QCOMPARE(run.out, QString());
        QCOMPARE(run.err, "pictrace-cli: " + message + "\nsee pictrace-cli --help\n");
    }

    void help_and_version_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("start");
        QTest::newRow("--help") << QStringList{"--help"} << "usage: pictrace-cli [options] COMMAND";
        QTest::newRow("-h") << QStringList{"-h"} << "usage: pictrace-cli [options] COMMAND";
        QTest::newRow("--version")
            << QStringList{"--version"} << "pictrace-cli " PICTRACE_VERSION "\n";
        QTest::newRow("-v") << QStringList{"-v"} << "pictrace-cli " PICTRACE_VERSION "\n";
        QTest::newRow("help of a command")
            << QStringList{"build", "--help"}
            << "usage: pictrace-cli [options] build IMAGE_DIR NAME\n\nas Pre-process database";
        QTest::newRow("help of a command, asked first")
            << QStringList{"-h", "multi"} << "usage: pictrace-cli [options] multi DB.ft1...\n";
        QTest::newRow("help wins over missing arguments")
            << QStringList{"search", "-h"} << "usage: pictrace-cli [options] search PATTERN";
    }
    void help_and_version()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, start);
        const Run run = cli(arguments);
        QCOMPARE(run.status, 0);
        QCOMPARE(run.err, QString());
        QVERIFY2(run.out.startsWith(start), qPrintable(run.out));
        if (arguments.size() == 1 && arguments[0].startsWith("-h")) {
            for (const char *command :
                 {"build IMAGE_DIR NAME", "build-sweep IMAGE_DIR", "search PATTERN DB.ft1...",
                  "multi DB.ft1...", "monster", "make-demo DIR [IMAGES]", "--report FILE"}) {
                QVERIFY2(run.out.contains(command), command);
            }
        }
    }

    // Options before or after the command, joined to their values or not, and "--" ending the
    // options, all give the same database.
    void option_spellings_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("file");
        QTest::newRow("before the command")
            << QStringList{"-r", "10", "build", "database", "a"} << "a.ft1";
        QTest::newRow("after the command")
            << QStringList{"build", "database", "a", "-r", "10"} << "a.ft1";
        QTest::newRow("between the arguments")
            << QStringList{"build", "database", "--radius", "10", "a"} << "a.ft1";
        QTest::newRow("joined short option")
            << QStringList{"-r10", "build", "database", "a"} << "a.ft1";
        QTest::newRow("long option with =")
            << QStringList{"build", "--radius=10", "database", "a"} << "a.ft1";
        QTest::newRow("name after --")
            << QStringList{"-r", "10", "build", "--", "database", "-odd"} << "-odd.ft1";
    }
    void option_spellings()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, file);
        Workspace w;
        QCOMPARE(cli({"-r", "10", "build", "database", "reference"}).status, 0);
        const Run run = cli(arguments);
        QCOMPARE(run.status, 0);
        match_lines(run.out, {"\\d+\tDatabase pre-processing done"});
        QCOMPARE(file_bytes("precomputed_databases/" + file),
                 file_bytes("precomputed_databases/reference.ft1"));
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

    // The demo workspace, its databases, the sweep's rates and the report are the same on every
    // machine and stay the same from one version to the next: these digests were taken from the
    // first release's outputs.
    void demo_workspace_outputs_stay_the_same()
    {
        ScopedWorkdir dir;
        QCOMPARE(cli({"make-demo", "ws", "6"}).status, 0);
        const QList<QPair<QString, QByteArray>> databases = {
            {"db3_ft1_20.ft1", "7a1dd820c23ebe6f5ed41ebc5ad5220c7f490ffd"},
            {"db3_ft1_90.ft1", "94b9e078ddc85bf125f86b63fc8d29ff100a9c2a"},
            {"db3_ft1_150.ft1", "32016a937d6c501fbcd36efc9ca6b475e9546b46"}};
        for (const auto &database : databases) {
            QCOMPARE(sha1(file_bytes("ws/precomputed_databases/" + database.first)),
                     database.second);
        }
        const QImage image("ws/database/img001.png");
        QVERIFY(image.width() >= 400 && image.width() <= 1200);

        const Run run = cli({"-C", "ws", "--report", "sweep.tsv", "monster"});
        QCOMPARE(run.status, 0);
        QStringList rates;
        for (const QString &line : run.out.split('\n', Qt::SkipEmptyParts)) {
            const QStringList fields = line.split('\t');
            rates << (fields.size() == 3 ? fields[0] + " " + fields[2] : line);
        }
        QCOMPARE(rates.join(", "),
                 QString("20 100, 30 100, 40 100, 50 100, 60 100, 70 100, 80 100, 90 100, "
                         "100 83.3333, 110 66.6667, 120 66.6667, 130 50, 140 66.6667, "
                         "150 66.6667, Success rate: 66.6667 %"));
        // The report's first eight columns.
        QStringList columns;
        for (const QString &line : QString::fromUtf8(file_bytes("sweep.tsv")).split('\n')) {
            columns << line.section('\t', 0, 7);
        }
        QCOMPARE(sha1(columns.join('\n').toUtf8()),
                 QByteArray("2b4648089d8271d9405022c002ab5057c0f181ab"));
    }

    // The front end prints what the window's commands print, then the text the window shows.
    void window_and_front_end_print_the_same_lines()
    {
        Workspace w;
        QCOMPARE(cli({"-r", "10", "build", "database", "three"}).status, 0);
        const QString database = "precomputed_databases/three.ft1";
        const Run search = cli({"-r", "10", "search", "patterns/cat.crop.png", database});
        const Run multi = cli({"-r", "10", "multi", database});

        auto script = std::make_shared<DialogScript>();
        std::unique_ptr<MainWindow> made;
        {
            ConsoleCapture quiet; // "running"
            made = std::make_unique<MainWindow>();
        }
        MainWindow &window = *made;
        DialogScript::install(window, script);
        widget<QSpinBox>(window, "spinBox_h")->setValue(10);
        QString expected_search;
        {
            ConsoleCapture console;
            script->files << database;
            run_command(window, "read_database");
            QTRY_VERIFY(!window.job_running());
            expected_search = console.text() + label_text(window, "label_out") + "\n";
        }
        const QString load_lines = expected_search;
        {
            ConsoleCapture console;
            script->files << "patterns/cat.crop.png";
            run_command(window, "search_in_db");
            expected_search += console.text() + label_text(window, "label_out") + "\n";
        }
        QString expected_multi = load_lines;
        {
            ConsoleCapture console;
            run_command(window, "multi_search_in_db");
            expected_multi += console.text() + label_text(window, "label_out") + "\n";
        }
        QCOMPARE(without_times(search.out), without_times(expected_search));
        QCOMPARE(without_times(multi.out), without_times(expected_multi));
    }
};

QTEST_MAIN(TestCli)
#include "tst_cli.moc"
