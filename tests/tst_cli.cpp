// The command-line front end, run as a separate process.

#include "demo/synthetic_images.h"
#include "matcher/image_matcher.h"
#include "test_support.h"
#include "window_support.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

namespace {

using Run = ProgramRun;

Run cli(const QStringList &arguments, const QString &directory = QDir::currentPath())
{
    return run_program(PICTRACE_CLI, arguments, 600, directory);
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

// Databases of database/ at radius 10, written as precomputed_databases/NAME.ft1.
void build_databases(const QStringList &names)
{
    for (const QString &name : names) {
        QCOMPARE(cli({"-r", "10", "build", "database", name}).status, 0);
    }
}

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
        QTest::newRow("mistyped command") << QStringList{"serch", "p.png", "d.ft1"}
                                          << "unknown command serch (did you mean search?)";
        QTest::newRow("letters swapped in a command")
            << QStringList{"mutli", "d.ft1"} << "unknown command mutli (did you mean multi?)";
        QTest::newRow("a check of a build")
            << QStringList{"--check", "build", "images", "d"}
            << "--check applies to search, multi, monster, not to build";
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
        QTest::newRow("radius 0") << QStringList{"-r", "0", "build", "d", "x"}
                                  << "--radius goes from 1 to 5000, not 0";
        QTest::newRow("radius beyond the form's") << QStringList{"-r", "2147483647", "monster"}
                                                  << "--radius goes from 1 to 5000, not 2147483647";
        QTest::newRow("step divisor 100") << QStringList{"-c", "100", "multi", "d.ft1"}
                                          << "--step-divisor goes from 1 to 99, not 100";
        QTest::newRow("a report of one search")
            << QStringList{"--report", "r.tsv", "search", "p.png", "d.ft1"}
            << "--report applies to multi, monster, not to search";
        QTest::newRow("aligned build")
            << QStringList{"--aligned", "build", "images", "d"}
            << "--aligned applies to search, multi, monster, not to build";
        QTest::newRow("threads for info: make-demo takes them for its build-sweep")
            << QStringList{"-j", "2", "info", "d.ft1"}
            << "--threads applies to build, build-sweep, search, multi, monster, make-demo, not to "
               "info";
        QTest::newRow("demo of no images")
            << QStringList{"make-demo", "d", "0"}
            << "make-demo needs a number of images of at least 1, not \"0\"";
        QTest::newRow("a search mode there is not")
            << QStringList{"--search", "fast", "multi", "d.ft1"}
            << "--search takes literal, aligned or indexed, not \"fast\"";
        QTest::newRow("two search modes")
            << QStringList{"--aligned", "--search", "indexed", "multi", "d.ft1"}
            << "--aligned and --search indexed ask for two searches";
        QTest::newRow("both sweeps and a mode")
            << QStringList{"--both", "--search", "indexed", "monster"}
            << "--both runs the literal and then the aligned sweep: use it without --search or "
               "--aligned";
        QTest::newRow("scales for the literal search")
            << QStringList{"--scales", "0.5:2", "multi", "d.ft1"}
            << "--scales applies to --search indexed";
        QTest::newRow("scales the wrong way round")
            << QStringList{"--search", "indexed", "--scales", "2:0.5", "multi", "d.ft1"}
            << "--scales takes MIN:MAX (0.5:2, say) or one scale, each from 0.25 to 4, not "
               "\"2:0.5\"";
        QTest::newRow("a finer database for the literal search")
            << QStringList{"--fine", "f.ft1", "multi", "d.ft1"}
            << "--fine applies to --search indexed";
        QTest::newRow("a fine database of no name")
            << QStringList{"--search", "indexed", "--fine", "", "multi", "d.ft1"}
            << "--fine needs a database file";
        QTest::newRow("a fine radius without a fine database")
            << QStringList{"--search", "indexed", "--fine-radius", "10", "multi", "d.ft1"}
            << "--fine-radius applies to --fine";
        QTest::newRow("an index for a search")
            << QStringList{"--index", "search", "p.png", "d.ft1"}
            << "--index applies to build, build-sweep, make-demo, not to search";
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
        QTest::newRow("help of a command") << QStringList{"build", "--help"}
                                           << "usage: pictrace-cli [options] build IMAGE_DIR "
                                              "NAME\n\nturns the images of IMAGE_DIR";
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

    // A command's help lists the options it takes and uses, and one example of it.
    void command_help_lists_its_own_options_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<QStringList>("left_out");
        QTest::newRow("build: no search options")
            << "build" << QStringList{"--radius", "--index", "--threads", "--quiet"}
            << QStringList{"--report", "--search", "--check", "--html"};
        QTest::newRow("monster: no radius of its own")
            << "monster" << QStringList{"--plot", "--both", "--check", "--report"}
            << QStringList{"--radius", "--step-divisor", "--index"};
        QTest::newRow("info: the options of every command")
            << "info" << QStringList{"--workdir", "--quiet"}
            << QStringList{"--threads", "--radius", "--json", "--max-megapixels"};
        QTest::newRow("make-demo: build-sweep's options too")
            << "make-demo" << QStringList{"--index", "--threads"}
            << QStringList{"--report", "--radius"};
    }
    void command_help_lists_its_own_options()
    {
        QFETCH(QString, command);
        QFETCH(QStringList, listed);
        QFETCH(QStringList, left_out);
        const Run run = cli({command, "--help"});
        QCOMPARE(run.status, 0);
        for (const QString &option : listed) {
            QVERIFY2(run.out.contains(option + " ") || run.out.contains(option + "\n"),
                     qPrintable(option));
        }
        for (const QString &option : left_out) {
            QVERIFY2(!run.out.contains(option), qPrintable(option));
        }
        QVERIFY2(run.out.contains("\nexample:\n  pictrace-cli " + command + " "),
                 qPrintable(run.out));
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
        QTest::newRow("name typed with its suffix")
            << QStringList{"-r", "10", "build", "database", "y.ft1"} << "y.ft1";
    }
    void option_spellings()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, file);
        Workspace w;
        QCOMPARE(cli({"-r", "10", "build", "database", "reference"}).status, 0);
        const Run run = cli(arguments);
        QCOMPARE(run.status, 0);
        match_lines(run.out, {"\\d+\tDatabase pre-processing done",
                              "precomputed_databases/" + QRegularExpression::escape(file) +
                                  ": 3 images written, 0 skipped, radius 10, step divisor 1"});
        QCOMPARE(file_bytes("precomputed_databases/" + file),
                 file_bytes("precomputed_databases/reference.ft1"));
    }

    // The front end and the window write the same database for the same folder and settings.
    void build_agrees_with_the_window()
    {
        Workspace w;
        const Run run = cli({"-r", "10", "-c", "2", "build", "database", "cli"});
        QCOMPARE(run.status, 0);
        match_lines(run.out, {"\\d+\tDatabase pre-processing done",
                              "precomputed_databases/cli.ft1: 3 images written, 0 skipped, radius "
                              "10, step divisor 2"});

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

    // Each input that cannot be used: the system's lines as far as they go, one line on standard
    // error naming the path and what is wrong with it, exit status 1, and no database written.
    void inputs_that_cannot_be_used_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
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
            << "file with precomputed db was not opened\nmissing.ft1: No such file or "
               "directory\nDatabase readed\n\n"
            << "pictrace-cli: missing.ft1: No such file or directory\n";
        QTest::newRow("folder as database")
            << QStringList{"multi", "precomputed_databases"}
            << "file with precomputed db was not opened\nprecomputed_databases: is a "
               "folder\nDatabase readed\n\n"
            << "pictrace-cli: precomputed_databases: is a folder\n";
        // The pattern is read before the databases.
        QTest::newRow("pattern that does not load")
            << QStringList{"search", "nothing.png", "precomputed_databases/ok.ft1"} << ""
            << "pictrace-cli: nothing.png: No such file or directory\n";
        QTest::newRow("text file as pattern")
            << QStringList{"search", "notes.png", "precomputed_databases/ok.ft1"} << ""
            << "pictrace-cli: notes.png: Unsupported image format\n";
        QTest::newRow("pattern beyond the limit")
            << QStringList{"--max-megapixels", "1", "search", "big.png", "missing.ft1"} << ""
            << "pictrace-cli: big.png: 1100 x 1000 pixels (1.1 megapixels), more than the limit "
               "of 1 megapixels (--max-megapixels N raises it)\n";
        QTest::newRow("quiet keeps the settings' refusal")
            << QStringList{"-q", "-r", "3", "-c", "4", "search", "database/cat.png", "x.ft1"}
            << "invalid window settings: radius 3, step divisor 4\n"
            << "";
        QTest::newRow("image as database")
            << QStringList{"multi", "database/cat.png"} << "*"
            << "pictrace-cli: database/cat.png: not a .ft1 database (no complete record)\n";
        QTest::newRow("report as database")
            << QStringList{"multi", "old.tsv"} << "*"
            << "pictrace-cli: old.tsv: not a .ft1 database (no complete record)\n";
        QTest::newRow("database without maps")
            << QStringList{"multi", "precomputed_databases/small.ft1"}
            << "Database readed\nFrom opened database file restored 1 images\n"
               "database is empty, exiting...\nSuccess rate: 0 %\n"
            << "pictrace-cli: the databases hold no map to search in\n";
        QTest::newRow("no patterns folder")
            << QStringList{"-C", "elsewhere", "multi", "../precomputed_databases/ok.ft1"} << ""
            << "pictrace-cli: patterns: No such file or directory\n";
        QTest::newRow("no readable pattern")
            << QStringList{"-C", "textual", "multi", "../precomputed_databases/ok.ft1"}
            << "Database readed\nFrom opened database file restored 1 images\n"
               "no patterns to search\nSuccess rate: 0 %\n"
            << "pictrace-cli: patterns: no readable pattern image\n";
        QTest::newRow("none of the sweep databases")
            << QStringList{"-C", "elsewhere", "monster"} << "*"
            << "pictrace-cli: precomputed_databases: none of the sweep databases db3_ft1_20.ft1 to "
               "db3_ft1_150.ft1 opened\n";
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
        QVERIFY(w.dir.mkpath("elsewhere"));
        QVERIFY(w.dir.mkpath("textual/patterns"));
        QVERIFY(write_file("textual/patterns/notes.txt", "not an image"));
        QVERIFY(write_file("notes.png", "not an image"));
        QVERIFY(write_file("old.tsv", "radius\tpattern_file\n20\ta.png\n"));
        save_grey_image("big.png", 1100, 1000, [](int x, int y) { return (x + y) % 256; });
        // A 101 x 101 image at radius 50 has one cell; one of 50 x 50 has none.
        QVERIFY(write_file("precomputed_databases/ok.ft1", "a;101;101;1;1;\n5;\nEOR\n"));
        QVERIFY(write_file("precomputed_databases/small.ft1", "a;50;50;-1;-1;\nEOR\n"));
        const Run run = cli(arguments);
        QCOMPARE(run.status, 1);
        if (out != "*") {
            QCOMPARE(run.out, out);
        }
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
        // The crop was cut at (40, 30), on the grid of step 10; the same images twice are one
        // image, not a runner-up.
        match_lines(run.out, {"Database readed", "From opened database file restored 3 images",
                              "Database readed", "From opened database file restored 3 images",
                              "\\d+\t100", "search2 = dog", "pattern found in db in \\d+ ms",
                              "answer: dog \\(found\\)", "  image       database/dog.png",
                              "  crop        x 40, y 30, 90 x 70 pixels \\(located over every "
                              "grid phase near the cell\\)",
                              "  score       [0-9.e-]+ over 35 cells \\(7 x 5\\), at cell 4, 3",
                              "  runner-up   none within 2 times the best"});
    }

    // --check: 3 when an answer is not to be taken as it stands, 0 when it is; multi takes it of
    // every pattern, monster of every pattern at one radius at least. Without it, 0.
    void check_exit_status_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::newRow("search, found")
            << QStringList{"--check", "search", "patterns/cat.crop.png", "three"} << 0;
        QTest::newRow("search, a pattern with no cells")
            << QStringList{"--check", "search", "tiny.png", "three"} << 3;
        QTest::newRow("search, no cells, not checked")
            << QStringList{"search", "tiny.png", "three"} << 0;
        QTest::newRow("multi, owl taken for dog") << QStringList{"--check", "multi", "three"} << 3;
        QTest::newRow("multi, not checked") << QStringList{"multi", "three"} << 0;
        QTest::newRow("multi, an input missing: 1 as without --check")
            << QStringList{"--check", "multi", "missing"} << 1;
        QTest::newRow("monster, owl taken for dog at its one radius")
            << QStringList{"--check", "--aligned", "monster"} << 3;
        QTest::newRow("monster, every pattern found")
            << QStringList{"--check", "--aligned", "-C", "named", "monster"} << 0;
    }
    void check_exit_status()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        Workspace w;
        save_grey_image("tiny.png", 12, 12, [](int x, int y) { return texture(0, x, y); });
        QVERIFY(QDir().mkpath("named/patterns"));
        QVERIFY(QDir().mkpath("named/precomputed_databases"));
        QVERIFY(QFile::copy("patterns/cat.crop.png", "named/patterns/cat.crop.png"));
        build_databases({"three"});
        QCOMPARE(cli({"-r", "20", "build", "database", "db3_ft1_20"}).status, 0);
        QVERIFY(QFile::copy("precomputed_databases/db3_ft1_20.ft1",
                            "named/precomputed_databases/db3_ft1_20.ft1"));
        const Run run = cli(QStringList{"-r", "10"} + arguments);
        QVERIFY2(run.status == status, qPrintable(run.out + run.err));
    }

    // A database given by the name build wrote it under, with or without its suffix; a file of
    // that name is taken first.
    void database_by_name_data()
    {
        QTest::addColumn<QString>("database");
        QTest::addColumn<int>("status");
        QTest::newRow("the name build was given") << "three" << 0;
        QTest::newRow("the name with its suffix") << "three.ft1" << 0;
        QTest::newRow("a file of the name here") << "other.ft1" << 1;
        QTest::newRow("a folder of the name here: the images built") << "database" << 0;
        QTest::newRow("a name build was not given") << "four" << 1;
    }
    void database_by_name()
    {
        QFETCH(QString, database);
        QFETCH(int, status);
        Workspace w;
        build_databases({"three", "other", "database"});
        QVERIFY(write_file("other.ft1", "not a database\n"));
        const Run run = cli({"-r", "10", "search", "patterns/cat.crop.png", database});
        QCOMPARE(run.status, status);
        QCOMPARE(run.out.contains("answer: cat (found)\n"), status == 0);
    }

    // Patterns whose base names name no image of the database are told of, with the rule.
    void patterns_named_after_no_image_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("warning"); // empty: none
        const QString two =
            "the base names of 2 of the 3 patterns are not names in the database (cat_crop, "
            "dog_crop)";
        QTest::newRow("every pattern named after its image") << QStringList{"multi", "three"} << "";
        QTest::newRow("multi, crops named with underscores")
            << QStringList{"-C", "underscores", "multi", "../precomputed_databases/three.ft1"}
            << two;
        QTest::newRow("monster, crops named with underscores")
            << QStringList{"-C", "underscores", "monster"} << two;
    }
    void patterns_named_after_no_image()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, warning);
        Workspace w;
        build_databases({"three"});
        QVERIFY(QDir().mkpath("underscores/patterns"));
        QVERIFY(QDir().mkpath("underscores/precomputed_databases"));
        for (const char *name : {"cat", "dog"}) {
            QVERIFY(QFile::copy(QString("patterns/%1.crop.png").arg(name),
                                QString("underscores/patterns/%1_crop.png").arg(name)));
        }
        QVERIFY(QFile::copy("patterns/owl.png", "underscores/patterns/owl.png"));
        QVERIFY(QFile::copy("precomputed_databases/three.ft1",
                            "underscores/precomputed_databases/db3_ft1_20.ft1"));
        const Run run = cli(QStringList{"-r", "10"} + arguments);
        QCOMPARE(run.status, 0);
        QVERIFY2(warning.isEmpty() ? !run.err.contains("warning")
                                   : run.err.contains("pictrace-cli: warning: " + warning +
                                                      "; they cannot count as found: a "
                                                      "pattern's base name, its file name up "
                                                      "to the first dot, must be the name"),
                 qPrintable(run.err));
    }

    // --quiet leaves the system's informational lines out and keeps the answer and the results.
    void quiet_keeps_the_answer_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("search") << QStringList{"search", "patterns/cat.crop.png", "three"}
                                << QStringList{"pattern found in db in \\d+ ms",
                                               "answer: cat \\(found\\)",
                                               "  image       database/cat.png",
                                               "  crop        .*",
                                               "  score       .*",
                                               "  runner-up   .*"};
        QTest::newRow("multi") << QStringList{"multi", "three"}
                               << QStringList{"Success rate: 66.6667 %"};
        QTest::newRow("build") << QStringList{"build", "database", "again"} << QStringList{};
        QTest::newRow("info") << QStringList{"info", "precomputed_databases/three.ft1"}
                              << QStringList{"precomputed_databases/three.ft1",
                                             "  .*",
                                             "  .*",
                                             "  .*",
                                             "  .*",
                                             "  .*",
                                             "  .*",
                                             "  .*"};
    }
    void quiet_keeps_the_answer()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, lines);
        Workspace w;
        build_databases({"three"});
        const Run run = cli(QStringList{"-q", "-r", "10"} + arguments);
        QCOMPARE(run.status, 0);
        match_lines(run.out, lines);
    }

    // The aligned search finds a crop cut off the grid exactly where it was cut. Multi keeps
    // the system's lines; the report and the document carry the phase.
    void aligned_search()
    {
        Workspace w;
        save_grey_image("patterns/cat.off.png", 90, 70,
                        [](int x, int y) { return texture(0, x + 47, y + 23); });
        QCOMPARE(cli({"-r", "10", "build", "database", "three"}).status, 0);
        const Run run = cli({"-r", "10", "--aligned", "--json", "out.json", "search",
                             "patterns/cat.off.png", "precomputed_databases/three.ft1"});
        QCOMPARE(run.status, 0);
        match_lines(run.out, {"Database readed", "From opened database file restored 3 images",
                              "\\d+\t100", "search2 = cat", "pattern found in db in \\d+ ms",
                              "answer: cat \\(exact\\)", "  image       database/cat.png",
                              "  crop        x 47, y 23, 90 x 70 pixels \\(grid phase 3, 7\\)",
                              "  score       [0-9.e-]+ over 35 cells \\(7 x 5\\), at cell 5, 3",
                              "  runner-up   none within 5 times the best"});
        const QJsonObject document = QJsonDocument::fromJson(file_bytes("out.json")).object();
        QCOMPARE(document["settings"].toObject()["mode"].toString(), QString("aligned"));
        const QJsonObject cat = document["results"].toArray()[0].toObject();
        QCOMPARE(cat["verdict"].toString(), QString("exact"));
        const QJsonObject phase = cat["phase"].toObject();
        QCOMPARE((QList<int>{phase["x"].toInt(), phase["y"].toInt()}), (QList<int>{3, 7}));
        const QJsonObject crop = cat["crop"].toObject();
        QCOMPARE((QList<int>{crop["x"].toInt(), crop["y"].toInt(), crop["tolerance"].toInt()}),
                 (QList<int>{47, 23, 0}));

        const Run multi = cli({"-r", "10", "--aligned", "--report", "report.tsv", "multi",
                               "precomputed_databases/three.ft1"});
        QCOMPARE(multi.status, 0);
        match_lines(multi.out, {"Database readed", "From opened database file restored 3 images",
                                "\\d+\t75", "Success rate: 75 %"});
        const QStringList rows = QString::fromUtf8(file_bytes("report.tsv")).split('\n');
        QCOMPARE(rows.size(), 6);
        QStringList off = rows[2].split('\t');
        QCOMPARE(off[1], QString("cat.off.png"));
        // crop x, y, tolerance, phase x, y ... verdict
        QCOMPARE((QStringList{off[9], off[10], off[13], off[14], off[15], off.last()}),
                 (QStringList{"47", "23", "0", "3", "7", "exact"}));
    }

    // The indexed search finds a recompressed crop cut off the grid where it was cut, and says
    // how it found it.
    void indexed_search()
    {
        ScopedWorkdir dir;
        QDir().mkpath("database");
        QDir().mkpath("patterns");
        for (int k = 0; k < 4; ++k) {
            QVERIFY(synthetic_image(9, k, 320, 240).save(QString("database/img%1.png").arg(k)));
        }
        QVERIFY(synthetic_image(9, 2, 320, 240)
                    .copy(47, 23, 130, 110)
                    .save("patterns/img2.jpg", "JPG", 80));
        QCOMPARE(cli({"-r", "10", "build", "database", "four"}).status, 0);
        const Run run = cli({"-r", "10", "--search", "indexed", "--json", "out.json", "search",
                             "patterns/img2.jpg", "precomputed_databases/four.ft1"});
        QCOMPARE(run.status, 0);
        QVERIFY2(run.out.contains("answer: img2 (found)\n") &&
                     run.out.contains("  crop        x 47, y 23, 130 x 110 pixels (grid phase 3, "
                                      "7)\n") &&
                     run.out.contains("  found by    the index: "),
                 qPrintable(run.out));
        const QJsonObject img2 = QJsonDocument::fromJson(file_bytes("out.json"))
                                     .object()["results"]
                                     .toArray()[0]
                                     .toObject();
        QCOMPARE(img2["found_by"].toString(), QString("votes"));
        QVERIFY(img2["votes"].toInt() > 0);
    }

    // A crop too small for the database's radius, found among the maps of a smaller one; a
    // database of no smaller radius is refused.
    void indexed_search_at_two_radii()
    {
        ScopedWorkdir dir;
        QDir().mkpath("database");
        for (int k = 0; k < 4; ++k) {
            QVERIFY(synthetic_image(9, k, 320, 240).save(QString("database/img%1.png").arg(k)));
        }
        QVERIFY(synthetic_image(9, 2, 320, 240)
                    .copy(47, 23, 130, 110)
                    .scaled(78, 66, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                    .save("img2.png"));
        QCOMPARE(cli({"-r", "20", "build", "database", "coarse"}).status, 0);
        QCOMPARE(cli({"-r", "10", "build", "database", "fine"}).status, 0);
        QVERIFY(QFile::rename("database/img3.png", "img3.png"));
        QCOMPARE(cli({"-r", "10", "build", "database", "three"}).status, 0);
        const QStringList search{"-r",
                                 "20",
                                 "--search",
                                 "indexed",
                                 "search",
                                 "img2.png",
                                 "precomputed_databases/coarse.ft1"};
        const Run coarse = cli(search);
        QVERIFY2(coarse.status == 0 && !coarse.out.contains("answer: img2 (found)"),
                 qPrintable(coarse.out + coarse.err));
        const Run run = cli(
            QStringList{"--fine", "precomputed_databases/fine.ft1", "--json", "out.json"} + search);
        QVERIFY2(run.status == 0 && run.out.contains("answer: img2 (found)\n") &&
                     run.out.contains("  radius      10: among the maps of the database at that "
                                      "radius"),
                 qPrintable(run.out + run.err));
        const QJsonObject img2 = QJsonDocument::fromJson(file_bytes("out.json"))
                                     .object()["results"]
                                     .toArray()[0]
                                     .toObject();
        QCOMPARE(img2["radius"].toInt(), 10);
        QVERIFY2(std::abs(img2["scale"].toDouble() - 0.6) < 0.02, qPrintable(run.out));
        // The coarse database does not fit radius 12, a fine radius may not exceed the search's,
        // and a database of other images would answer with images the search's does not hold.
        for (const QStringList &wrong :
             {QStringList{"--fine-radius", "12", "--fine", "precomputed_databases/coarse.ft1"},
              QStringList{"--fine-radius", "30", "--fine", "precomputed_databases/fine.ft1"},
              QStringList{"--fine", "precomputed_databases/three.ft1"}}) {
            const Run refused = cli(wrong + search);
            QCOMPARE(refused.status, 1);
            QVERIFY2(refused.err.startsWith("pictrace-cli: --fine precomputed_databases/"),
                     qPrintable(refused.err));
        }
    }

    // How far the runner-up was looked for reads the same in the answer block, the report's
    // ratio and the document's: each search's own reach.
    void runner_up_reach_reads_the_same_everywhere_data()
    {
        QTest::addColumn<QStringList>("mode");
        QTest::addColumn<QString>("reach");
        QTest::newRow("literal: twice the best") << QStringList{} << "2";
        QTest::newRow("aligned: 5 times the best") << QStringList{"--aligned"} << "5";
        QTest::newRow("indexed, an exact match: as the aligned")
            << QStringList{"--search", "indexed"} << "5";
    }
    void runner_up_reach_reads_the_same_everywhere()
    {
        QFETCH(QStringList, mode);
        QFETCH(QString, reach);
        Workspace w;
        QCOMPARE(cli({"-r", "10", "build", "database", "three"}).status, 0);
        const Run search =
            cli(mode + QStringList{"-r", "10", "--json", "out.json", "search",
                                   "patterns/cat.crop.png", "precomputed_databases/three.ft1"});
        QCOMPARE(search.status, 0);
        QVERIFY2(search.out.contains("  runner-up   none within " + reach + " times the best\n"),
                 qPrintable(search.out));
        const QJsonObject document = QJsonDocument::fromJson(file_bytes("out.json")).object();
        const QJsonObject cat = document["results"].toArray()[0].toObject();
        QCOMPARE(cat["ratio"].toString(), ">" + reach);
        QCOMPARE(cli(mode + QStringList{"-r", "10", "--report", "report.tsv", "multi",
                                        "precomputed_databases/three.ft1"})
                     .status,
                 0);
        const QStringList row =
            QString::fromUtf8(file_bytes("report.tsv")).split('\n')[1].split('\t');
        QCOMPARE(row[1], QString("cat.crop.png"));
        QCOMPARE(row[row.size() - 2], ">" + reach);
    }

    // With a binary index beside the database, multi of each search prints and reports exactly
    // what it does from the text.
    void index_gives_the_same_results()
    {
        Workspace w;
        QCOMPARE(cli({"-r", "10", "build", "database", "three"}).status, 0);
        const QStringList literal = {"-r",         "10",    "--report",
                                     "report.tsv", "multi", "precomputed_databases/three.ft1"};
        QStringList aligned = literal;
        aligned.prepend("--aligned");
        const QStringList indexed_search = QStringList{"--search", "indexed"} + literal;
        const Run text_run = cli(literal);
        const QByteArray text_report = file_bytes("report.tsv");
        const Run text_aligned = cli(aligned);
        const QByteArray text_aligned_report = file_bytes("report.tsv");
        const Run text_indexed = cli(indexed_search);
        const QByteArray text_indexed_report = file_bytes("report.tsv");
        const Run indexed = cli({"index", "precomputed_databases/three.ft1"});
        QCOMPARE(indexed.status, 0);
        QCOMPARE(indexed.out, QString("precomputed_databases/three.ft1.idx: written\n"));
        const Run index_run = cli(literal);
        QCOMPARE(without_times(index_run.out), without_times(text_run.out));
        QCOMPARE(file_bytes("report.tsv"), text_report);
        const Run index_aligned = cli(aligned);
        QCOMPARE(without_times(index_aligned.out), without_times(text_aligned.out));
        QCOMPARE(file_bytes("report.tsv"), text_aligned_report);
        const Run index_indexed = cli(indexed_search);
        QCOMPARE(without_times(index_indexed.out), without_times(text_indexed.out));
        QCOMPARE(file_bytes("report.tsv"), text_indexed_report);
        QVERIFY(cli({"info", "precomputed_databases/three.ft1"})
                    .out.contains("binary index     precomputed_databases/three.ft1.idx (read)"));
    }

    // The answers' columns follow the first eight.
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
        QCOMPARE(rows[0], QString("radius\tpattern_file\tbase_name\tpicked_name\tbest_score\tx\ty\t"
                                  "found\tfound_image\tcrop_x\tcrop_y\tcrop_width\tcrop_height\t"
                                  "crop_tolerance\tphase_x\tphase_y\tmap_width\tmap_height\tcells\t"
                                  "runner_up_name\trunner_up_score\tratio\tverdict"));
        // The crops of cat and dog were cut at (40, 30) on the grid; owl is dog's corner.
        const QStringList expected = {"10\tcat.crop.png\tcat\tcat\t*\t4\t3\t1\tdatabase/"
                                      "cat.png\t40\t30\t90\t70\t0\t0\t0\t7\t5\t"
                                      "35\t\t\t>2\tfound",
                                      "10\tdog.crop.png\tdog\tdog\t*\t4\t3\t1\tdatabase/"
                                      "dog.png\t40\t30\t90\t70\t0\t0\t0\t7\t5\t"
                                      "35\t\t\t>2\tfound",
                                      "10\towl.png\towl\tdog\t*\t0\t0\t0\tdatabase/"
                                      "dog.png\t0\t0\t90\t70\t0\t0\t0\t7\t5\t35\t"
                                      "\t\t>2\tfound"};
        for (int k = 0; k < 3; ++k) {
            QStringList fields = rows[k + 1].split('\t');
            // Database values are read back rounded to six digits: scores near 0, not 0.
            QVERIFY2(fields[4].toDouble() < 0.01, qPrintable(rows[k + 1]));
            fields[4] = "*";
            QCOMPARE(fields.join('\t'), expected[k]);
        }
        QCOMPARE(rows[4], QString());
    }

    // The radius comes from the command line, or from the database when the database fits one
    // radius alone; a database that does not fit the radius given is refused.
    void settings_that_fit_the_database_data()
    {
        QTest::addColumn<QStringList>("built"); // the radius of each database; "wide": 300 x 200
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("err");
        QTest::newRow("the radius given fits")
            << QStringList{"10"} << QStringList{"-r", "10"} << 0 << "";
        QTest::newRow("taken from the database")
            << QStringList{"10"} << QStringList{} << 0
            << "pictrace-cli: db0.ft1: built with radius 10, step divisor 1: searching with -r "
               "10\n";
        QTest::newRow("radius given that does not fit")
            << QStringList{"10"} << QStringList{"-r", "50"} << 1
            << "pictrace-cli: db0.ft1: not built with radius 50, step divisor 1 (built with "
               "radius 10, step divisor 1? use -r 10)\n";
        QTest::newRow("several radii fit, the default not")
            << QStringList{"60", "wide"} << QStringList{} << 1
            << "pictrace-cli: db0.ft1: not built with radius 50, step divisor 1 (built with "
               "radius 60 to 66, step divisor 1? use -r 60)\n";
        QTest::newRow("one of two databases fits")
            << QStringList{"10", "20"} << QStringList{"-r", "10"} << 0
            << "pictrace-cli: db0.ft1, db1.ft1: 3 of the 6 records were not built with radius "
               "10, step divisor 1\n";
    }
    void settings_that_fit_the_database()
    {
        QFETCH(QStringList, built);
        QFETCH(QStringList, options);
        QFETCH(int, status);
        QFETCH(QString, err);
        Workspace w;
        QVERIFY(w.dir.mkpath("wide"));
        save_grey_image("wide/cat.png", 300, 200, [](int x, int y) { return texture(0, x, y); });
        const QString folder = built.contains("wide") ? "wide" : "database";
        QStringList databases;
        for (const QString &radius : built) {
            if (radius == "wide") {
                continue;
            }
            const QString name = QString("db%1").arg(databases.size());
            QCOMPARE(cli({"-r", radius, "build", folder, name}).status, 0);
            QVERIFY(QFile::rename("precomputed_databases/" + name + ".ft1", name + ".ft1"));
            databases << name + ".ft1";
        }
        const Run run = cli(options + QStringList{"search", "patterns/dog.crop.png"} + databases);
        QCOMPARE(run.status, status);
        QCOMPARE(run.err, err);
        QCOMPARE(run.out.contains("answer: "), status == 0);
    }

    // --report and --json replace their files only when the command succeeds; "-" is standard
    // output, which then holds the document alone.
    void outputs_are_written_when_the_command_succeeds_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("replaced");
        QTest::newRow("multi that runs")
            << QStringList{"multi", "precomputed_databases/three.ft1"} << 0 << true;
        QTest::newRow("mistyped database")
            << QStringList{"multi", "precomputed_databases/thre.ft1"} << 1 << false;
        QTest::newRow("radius that does not fit")
            << QStringList{"-r", "30", "multi", "precomputed_databases/three.ft1"} << 1 << false;
        QTest::newRow("monster without databases") << QStringList{"monster"} << 1 << false;
    }
    void outputs_are_written_when_the_command_succeeds()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(bool, replaced);
        Workspace w;
        QCOMPARE(cli({"-r", "10", "build", "database", "three"}).status, 0);
        QVERIFY(write_file("report.tsv", "an earlier report\n"));
        QVERIFY(write_file("answers.json", "{}"));
        const Run run =
            cli(QStringList{"--report", "report.tsv", "--json", "answers.json"} + arguments);
        QCOMPARE(run.status, status);
        QCOMPARE(file_bytes("report.tsv").startsWith("radius\t"), replaced);
        QCOMPARE(file_bytes("answers.json").size() > 2, replaced);
        // Nothing is left beside them.
        QCOMPARE(QDir().entryList({"report.tsv*", "answers.json*"}, QDir::Files).size(), 2);
    }

    void dash_is_standard_output()
    {
        Workspace w;
        QCOMPARE(cli({"-r", "10", "build", "database", "three"}).status, 0);
        const Run report = cli({"--report", "-", "multi", "precomputed_databases/three.ft1"});
        QCOMPARE(report.status, 0);
        QVERIFY2(report.out.startsWith("radius\tpattern_file\t"), qPrintable(report.out));
        QCOMPARE(report.out.count('\n'), 4);
        QVERIFY(report.err.contains("Success rate: 66.6667 %\n"));
        const Run json =
            cli({"--json", "-", "-r", "10", "multi", "precomputed_databases/three.ft1"});
        QCOMPARE(json.status, 0);
        QJsonParseError error;
        QJsonDocument::fromJson(json.out.toUtf8(), &error);
        QCOMPARE(error.error, QJsonParseError::NoError);
        QVERIFY(!QFile::exists("-"));
        QCOMPARE(cli({"--json", "-", "--report", "-", "monster"}).status, 2);
    }

    // A write that fails says why in the system's words and keeps the earlier file.
    void failed_write_says_why()
    {
        Workspace w;
        QCOMPARE(cli({"-r", "10", "build", "database", "three"}).status, 0);
        QVERIFY(write_file("answers.json", "{}"));
        // Files of at most one block: the document does not fit.
        QProcess shell;
        shell.start("/bin/sh", {"-c", QString("trap '' XFSZ; ulimit -f 1; exec '%1' --json "
                                              "answers.json -r 10 multi "
                                              "precomputed_databases/three.ft1")
                                          .arg(PICTRACE_CLI)});
        QVERIFY(shell.waitForFinished(60000));
        QCOMPARE(shell.exitCode(), 1);
        QCOMPARE(QString::fromUtf8(shell.readAllStandardError()),
                 QString("pictrace-cli: %1: File too large\n")
                     .arg(QFileInfo("answers.json").absoluteFilePath()));
        QCOMPARE(file_bytes("answers.json"), QByteArray("{}"));
    }

    // The document's fields, as the README lists them.
    void json_document_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("keys");
        QTest::newRow("search") << QStringList{"search", "patterns/cat.crop.png",
                                               "precomputed_databases/three.ft1"}
                                << QStringList{"command",  "databases", "results",
                                               "settings", "timing",    "version"};
        QTest::newRow("multi") << QStringList{"multi", "precomputed_databases/three.ft1"}
                               << QStringList{"command", "databases", "found",  "patterns", "rate",
                                              "results", "settings",  "timing", "version"};
        QTest::newRow("monster") << QStringList{"monster"}
                                 << QStringList{"command", "passes", "settings", "version"};
    }
    void json_document()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, keys);
        Workspace w;
        QCOMPARE(cli({"-r", "10", "build", "database", "three"}).status, 0);
        QCOMPARE(cli({"-r", "10", "build", "database", "db3_ft1_100"}).status, 0);
        const Run run = cli(QStringList{"--json", "out.json", "-r", "10"} + arguments);
        QCOMPARE(run.status, 0);
        const QJsonObject document = QJsonDocument::fromJson(file_bytes("out.json")).object();
        QCOMPARE(document.keys(), keys);
        QCOMPARE(document["command"].toString(), arguments.first());
        QJsonArray results = document["results"].toArray();
        if (arguments.first() == "monster") {
            const QJsonArray passes = document["passes"].toArray();
            QCOMPARE(passes.size(), 14);
            const QJsonObject pass = passes[8].toObject();
            QCOMPARE(pass.keys(), (QStringList{"database", "found", "opened", "patterns", "radius",
                                               "rate", "results", "timing"}));
            QCOMPARE(pass["radius"].toInt(), 100);
            QCOMPARE(pass["opened"].toBool(), true);
            QCOMPARE(passes[0].toObject()["opened"].toBool(), false);
            results = pass["results"].toArray();
        } else {
            const QJsonObject settings = document["settings"].toObject();
            QCOMPARE(settings.keys(),
                     (QStringList{"mode", "radius", "radius_from", "step", "step_divisor"}));
            QCOMPARE(settings["radius"].toInt(), 10);
            QCOMPARE(settings["radius_from"].toString(), QString("option"));
            const QJsonObject database = document["databases"].toArray()[0].toObject();
            QCOMPARE(database.keys(),
                     (QStringList{"malformed_lines", "maps", "opened", "path", "records"}));
            QCOMPARE(database["maps"].toInt(), 3);
        }
        QVERIFY(!results.isEmpty());
        const QJsonObject cat = results[0].toObject();
        QCOMPARE(cat.keys(),
                 (QStringList{"base_name", "cell", "cells", "crop", "file", "found", "found_image",
                              "map_size", "pattern_size", "phase", "picked_name", "ratio",
                              "runner_up", "score", "verdict"}));
        QCOMPARE(cat["file"].toString(), QString("cat.crop.png"));
        QCOMPARE(cat["picked_name"].toString(), QString("cat"));
        QCOMPARE(cat["found"].toBool(), true);
        QCOMPARE(cat["found_image"].toString(), QString("database/cat.png"));
        if (arguments.first() != "monster") {
            QCOMPARE(cat["verdict"].toString(), QString("found"));
            const QJsonObject crop = cat["crop"].toObject();
            QCOMPARE((QList<int>{crop["x"].toInt(), crop["y"].toInt(), crop["width"].toInt(),
                                 crop["height"].toInt(), crop["tolerance"].toInt()}),
                     (QList<int>{40, 30, 90, 70, 0}));
            QCOMPARE(cat["cells"].toInt(), 35);
            QVERIFY(cat["score"].toDouble() < 0.01);
        }
    }

    void info_describes_databases()
    {
        Workspace w;
        QCOMPARE(cli({"-r", "10", "build", "database", "three"}).status, 0);
        QVERIFY(write_file("twice.ft1", file_bytes("precomputed_databases/three.ft1").repeated(2) +
                                            "bad line\n"));
        const Run run = cli({"info", "twice.ft1", "database/cat.png"});
        QCOMPARE(run.status, 1);
        const QStringList lines = run.out.split('\n');
        QCOMPARE(
            lines.mid(0, 9),
            (QStringList{"twice.ft1",
                         "  records          6: 6 with a map, 0 without cells, 0 incomplete",
                         "  image sizes      340 x 320 to 340 x 320",
                         "  map sizes        32 x 30 to 32 x 30",
                         "  built with       radius 10, step divisor 1",
                         "  duplicate names  cat (2 records), dog (2 records), owl (2 records)",
                         "  binary index     none", "  malformed lines  1",
                         "    twice.ft1:193: header line with 1 of the five fields; the "
                         "record is skipped"}));
        QCOMPARE(run.err, QString("pictrace-cli: database/cat.png: not a .ft1 database (no "
                                  "complete record)\n"));
    }

    // build-sweep, then monster from another folder through -C.
    void sweep_and_monster()
    {
        Workspace w;
        const Run built = cli({"-j", "1", "build-sweep", "database"});
        QCOMPARE(built.status, 0);
        QStringList done_lines;
        for (int radius = 20; radius <= 150; radius += 10) {
            done_lines << QString("radius %1: precomputed_databases/db3_ft1_%1.ft1").arg(radius)
                       << "\\d+\tDatabase pre-processing done"
                       << QString("precomputed_databases/db3_ft1_%1.ft1: 3 images written, 0 "
                                  "skipped, radius %1, step divisor 1")
                              .arg(radius);
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
            // The front end shows the result line before the answer, the window after its lines.
            QString lines = console.text();
            const int answer = lines.indexOf("answer: ");
            QVERIFY(answer > 0);
            lines.insert(answer, label_text(window, "label_out") + "\n");
            expected_search += lines;
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
