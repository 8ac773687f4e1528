// What the front end does to keep data safe: nothing left behind when it is stopped, no output
// over an input, no database replaced by an empty one, names that cannot break a line or a
// row, an index that always describes the file it was made from.

#include "ft1/database_file.h"
#include "ft1/ft1_index.h"
#include "ft1/ft1_reader.h"
#include "test_support.h"

#include <QProcess>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

namespace {

using Run = ProgramRun;

Run cli(const QStringList &arguments)
{
    return run_program(PICTRACE_CLI, arguments, 120);
}

int texture(int seed, int x, int y)
{
    return int(128 + 60 * std::sin(x * 0.05 * (seed + 1) + seed) +
               50 * std::cos(y * 0.04 * (seed + 2))) %
           256;
}

void images(const QString &folder, int count, int size = 200)
{
    QDir().mkpath(folder);
    for (int k = 0; k < count; ++k) {
        save_grey_image(QString("%1/img%2.png").arg(folder).arg(k, 3, 10, QChar('0')), size, size,
                        [k](int x, int y) { return texture(k, x, y); });
    }
}

// A database of `records` maps of `side` x `side` values, each from `seed`.
QByteArray ft1_text(int records, int side, int seed)
{
    QByteArray text;
    for (int r = 0; r < records; ++r) {
        text += QByteArray("m") + QByteArray::number(r) + ";500;500;" + QByteArray::number(side) +
                ";" + QByteArray::number(side) + ";\n";
        for (int y = 0; y < side; ++y) {
            for (int x = 0; x < side; ++x) {
                text += QByteArray::number((x * 31 + y * 17 + r * 7 + seed * 101) % 997) + ";";
            }
            text += "\n";
        }
        text += "EOR\n";
    }
    return text;
}

// The names in `folder` that a write aside leaves (NAME.XXXXXX).
QStringList temporaries(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files).filter(QRegularExpression("\\.[A-Za-z0-9]{6}$"));
}

bool same_maps(const QList<FeatureMap> &a, const QList<FeatureMap> &b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (int k = 0; k < a.size(); ++k) {
        if (a[k].width != b[k].width || a[k].height != b[k].height ||
            std::memcmp(a[k].data(), b[k].data(), std::size_t(a[k].cell_count()) * sizeof(float))) {
            return false;
        }
    }
    return true;
}

} // namespace

class TestSafety : public QObject
{
    Q_OBJECT

private slots:
    // Another program renames other databases over the file while the index is made: the index
    // describes the text it read, under that text's checksum, or it is not used.
    void index_describes_the_file_it_read()
    {
        ScopedWorkdir dir;
        QVERIFY(write_file("a.ft1", ft1_text(6, 120, 1)));
        QVERIFY(write_file("b.ft1", ft1_text(6, 120, 2)));
        const QList<FeatureMap> maps_a = read_ft1_text("a.ft1").maps;
        const QList<FeatureMap> maps_b = read_ft1_text("b.ft1").maps;
        for (int attempt = 0; attempt < 4; ++attempt) {
            QVERIFY(QFile::copy("a.ft1", "db.ft1"));
            QProcess index;
            index.start(PICTRACE_CLI, {"index", "db.ft1"});
            QVERIFY(index.waitForStarted());
            for (int swap = 0; index.state() != QProcess::NotRunning; ++swap) {
                const QString from = swap % 2 ? "a.ft1" : "b.ft1";
                QFile::remove("next.ft1");
                QVERIFY(QFile::copy(from, "next.ft1"));
                QCOMPARE(::rename("next.ft1", "db.ft1"), 0);
                index.waitForFinished(attempt * 5);
            }
            QCOMPARE(index.exitCode(), 0);
            int used = 0;
            for (const auto &source :
                 {qMakePair(QString("a.ft1"), maps_a), qMakePair(QString("b.ft1"), maps_b)}) {
                QFile::remove("db.ft1");
                QVERIFY(QFile::copy(source.first, "db.ft1"));
                const IndexRead read = read_ft1_index("db.ft1", true);
                if (read.state == IndexState::used) {
                    ++used;
                    QVERIFY2(same_maps(read.contents.maps, source.second),
                             qPrintable(source.first));
                }
            }
            QCOMPARE(used, 1);
            QFile::remove("db.ft1");
            QFile::remove("db.ft1.idx");
        }
    }

    void stopped_writes_leave_nothing_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("signal");
        const QList<QPair<QString, int>> stops = {
            {"SIGINT", SIGINT}, {"SIGTERM", SIGTERM}, {"SIGHUP", SIGHUP}};
        for (const QString command : {"build", "index"}) {
            for (const auto &stop : stops) {
                QTest::newRow(qPrintable(command + " stopped by " + stop.first))
                    << command << stop.second;
            }
        }
    }
    // Stopped while its file is written aside: the process ends by the signal, the earlier
    // file stays, and no temporary file is left.
    void stopped_writes_leave_nothing()
    {
        QFETCH(QString, command);
        QFETCH(int, signal);
        ScopedWorkdir dir;
        QDir().mkpath("precomputed_databases");
        const QByteArray earlier = "earlier;1;1;1;1;\n1;\nEOR\n";
        QVERIFY(write_file("precomputed_databases/db.ft1", earlier));
        QStringList arguments = {"-r", "10", "-j", "1", "build", "images", "db"};
        if (command == "index") {
            QVERIFY(write_file("precomputed_databases/big.ft1", ft1_text(40, 300, 3)));
            arguments = QStringList{"index", "precomputed_databases/big.ft1"};
        } else {
            images("images", 60);
        }
        QProcess process;
        process.start(PICTRACE_CLI, arguments);
        QVERIFY(process.waitForStarted());
        QElapsedTimer clock;
        clock.start();
        while (temporaries("precomputed_databases").isEmpty() && clock.elapsed() < 60000 &&
               process.state() == QProcess::Running) {
            QThread::usleep(200);
        }
        QVERIFY2(!temporaries("precomputed_databases").isEmpty(), "no write aside seen");
        ::kill(pid_t(process.processId()), signal);
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitStatus(), QProcess::CrashExit);
        QCOMPARE(temporaries("precomputed_databases"), QStringList());
        QCOMPARE(file_bytes("precomputed_databases/db.ft1"), earlier);
    }

    void leftovers_of_stopped_writes_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("removed");
        QTest::newRow("an earlier write aside") << "db.ft1.a1B2c3" << true;
        QTest::newRow("seven characters") << "db.ft1.a1B2c3d" << false;
        QTest::newRow("five characters") << "db.ft1.a1B2c" << false;
        QTest::newRow("not a letter or digit") << "db.ft1.a1-2c3" << false;
        QTest::newRow("of another target") << "dc.ft1.a1B2c3" << false;
        QTest::newRow("the target's name inside") << "old.db.ft1.a1B2c3" << false;
    }
    // The next write to the same target removes what earlier writes left, and nothing else.
    void leftovers_of_stopped_writes()
    {
        QFETCH(QString, name);
        QFETCH(bool, removed);
        ScopedWorkdir dir;
        images("images", 1);
        QDir().mkpath("precomputed_databases");
        const QString path = "precomputed_databases/" + name;
        QVERIFY(write_file(path, "left"));
        const utimbuf old{std::time(nullptr) - 3600, std::time(nullptr) - 3600};
        QCOMPARE(::utime(QFile::encodeName(path).constData(), &old), 0);
        QCOMPARE(cli({"-r", "10", "build", "images", "db"}).status, 0);
        QCOMPARE(!QFile::exists(path), removed);
    }

    void outputs_that_are_inputs_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("input"); // the file that must stay as it was
        const QString db = "precomputed_databases/three.ft1";
        QTest::newRow("--json over the database searched")
            << QStringList{"--json", db, "multi", db} << db;
        QTest::newRow("--report over a pattern")
            << QStringList{"--report", "patterns/img001.png", "multi", db} << "patterns/img001.png";
        QTest::newRow("--html over the pattern searched")
            << QStringList{"--html", "patterns/img001.png", "search", "patterns/img001.png", db}
            << "patterns/img001.png";
        QTest::newRow("--json through a link to the database")
            << QStringList{"--json", "link.json", "search", "patterns/img001.png", db} << db;
        QTest::newRow("--plot over a sweep database")
            << QStringList{"--plot", "precomputed_databases/db3_ft1_50.ft1", "monster"}
            << "precomputed_databases/db3_ft1_50.ft1";
        QTest::newRow("--report over a database from another working folder")
            << QStringList{"-C", "precomputed_databases", "--report", db, "multi", "three.ft1"}
            << db;
        QTest::newRow("a build into the folder it reads")
            << QStringList{"build", "precomputed_databases", "three"} << db;
    }
    void outputs_that_are_inputs()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, input);
        ScopedWorkdir dir;
        images("database", 2);
        images("patterns", 2, 60);
        QCOMPARE(cli({"-r", "10", "build", "database", "three"}).status, 0);
        QVERIFY(
            QFile::copy("precomputed_databases/three.ft1", "precomputed_databases/db3_ft1_50.ft1"));
        QCOMPARE(::symlink("precomputed_databases/three.ft1", "link.json"), 0);
        const QByteArray before = file_bytes(input);
        const Run run = cli(arguments);
        QCOMPARE(run.status, 2);
        QVERIFY2(run.err.contains(" is also an input of "), qPrintable(run.err));
        QCOMPARE(run.out, QString());
        QCOMPARE(file_bytes(input), before);
    }

    void make_demo_keeps_a_folder_that_holds_files_data()
    {
        QTest::addColumn<bool>("holds_a_file");
        QTest::addColumn<bool>("force");
        QTest::addColumn<int>("status");
        QTest::newRow("empty folder") << false << false << 0;
        QTest::newRow("a file there") << true << false << 2;
        QTest::newRow("a file there, --force") << true << true << 0;
    }
    void make_demo_keeps_a_folder_that_holds_files()
    {
        QFETCH(bool, holds_a_file);
        QFETCH(bool, force);
        QFETCH(int, status);
        ScopedWorkdir dir;
        QVERIFY(QDir().mkpath("ws"));
        if (holds_a_file) {
            QVERIFY(write_file("ws/notes.txt", "mine"));
        }
        const Run run = cli(force ? QStringList{"--force", "make-demo", "ws", "1"}
                                  : QStringList{"make-demo", "ws", "1"});
        QCOMPARE(run.status, status);
        QCOMPARE(QFileInfo::exists("ws/database"), status == 0);
        QCOMPARE(QFileInfo::exists("ws/notes.txt"), holds_a_file);
    }

    void builds_that_read_no_image_data()
    {
        QTest::addColumn<QString>("file"); // the one file in the folder, or none
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("existing"); // a database is there already
        QTest::newRow("empty folder, database there") << "" << QByteArray() << true;
        QTest::newRow("empty folder, no database") << "" << QByteArray() << false;
        QTest::newRow("a text file") << "notes.txt" << QByteArray("words\n") << true;
        QTest::newRow("text named .png") << "notes.png" << QByteArray("words\n") << true;
        QTest::newRow("an empty .png") << "empty.png" << QByteArray("") << true;
    }
    // Nothing replaces the database, the build says so, every file is named, status 1.
    void builds_that_read_no_image()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, bytes);
        QFETCH(bool, existing);
        ScopedWorkdir dir;
        QDir().mkpath("images");
        QDir().mkpath("precomputed_databases");
        if (!file.isEmpty()) {
            QVERIFY(write_file("images/" + file, bytes));
        }
        const QByteArray earlier = "earlier;1;1;1;1;\n1;\nEOR\n";
        if (existing) {
            QVERIFY(write_file("precomputed_databases/db.ft1", earlier));
            QCOMPARE(cli({"index", "precomputed_databases/db.ft1"}).status, 0);
        }
        const QByteArray index = file_bytes("precomputed_databases/db.ft1.idx");
        const Run run = cli({"build", "images", "db"});
        QCOMPARE(run.status, 1);
        QVERIFY2(
            run.out.contains(QString("no image read from images: %1\n")
                                 .arg(existing ? "precomputed_databases/db.ft1 is left as it was"
                                               : "no database written")),
            qPrintable(run.out));
        QCOMPARE(run.out.contains("skipped " + file + ": "), !file.isEmpty());
        QVERIFY2(run.out.endsWith(QString("precomputed_databases/db.ft1: 0 images written, %1 "
                                          "skipped, radius 50, step divisor 1\n")
                                      .arg(file.isEmpty() ? 0 : 1)),
                 qPrintable(run.out));
        QCOMPARE(QFile::exists("precomputed_databases/db.ft1"), existing);
        if (existing) {
            QCOMPARE(file_bytes("precomputed_databases/db.ft1"), earlier);
            QCOMPARE(file_bytes("precomputed_databases/db.ft1.idx"), index);
        }
    }

    void names_that_could_break_lines_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("field"); // in the report
        QTest::newRow("tab") << "a\tb.png"
                             << "a\\tb.png";
        QTest::newRow("line break") << "a\nb.png"
                                    << "a\\nb.png";
        QTest::newRow("carriage return") << "a\rb.png"
                                         << "a\\rb.png";
        QTest::newRow("backslash") << "a\\b.png"
                                   << "a\\\\b.png";
        QTest::newRow("escape sequence") << "a\x1b[2Jb.png"
                                         << "a\x1b[2Jb.png";
    }
    // A pattern's name keeps every report row at its fields, and reaches no console raw.
    void names_that_could_break_lines()
    {
        QFETCH(QString, name);
        QFETCH(QString, field);
        ScopedWorkdir dir;
        images("database", 2);
        images("patterns", 1, 60);
        QVERIFY(QFile::copy("patterns/img000.png", "patterns/" + name));
        QVERIFY(write_file("database/" + name, "not an image"));
        const Run build = cli({"-r", "10", "build", "database", "db"});
        QCOMPARE(build.status, 0);
        const Run run = cli({"-r", "10", "--report", "-", "multi", "precomputed_databases/db.ft1"});
        QCOMPARE(run.status, 0);
        const QStringList rows = run.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(rows.size(), 3);
        for (const QString &row : rows) {
            QCOMPARE(row.count('\t'), rows[0].count('\t'));
        }
        QVERIFY2(run.out.contains("\t" + field + "\t"), qPrintable(run.out));
        for (const QString &console : {build.out, build.err, run.err}) {
            QVERIFY2(!console.contains('\x1b') && !console.contains('\r'), qPrintable(console));
        }
        QVERIFY2(build.out.contains("skipped " + QString(name)
                                                     .replace('\x1b', "\\x1b")
                                                     .replace('\t', "\\t")
                                                     .replace('\n', "\\n")
                                                     .replace('\r', "\\r")),
                 qPrintable(build.out));
    }

    void index_of_what_is_no_file_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("reason");
        QTest::newRow("a pipe") << "pipe.ft1"
                                << "not a regular file";
        QTest::newRow("a device") << "/dev/zero"
                                  << "not a regular file";
        QTest::newRow("a folder") << "folder.ft1"
                                  << "is a folder";
        QTest::newRow("nothing") << "none.ft1"
                                 << "No such file or directory";
    }
    // Refused at once, with nothing written beside it.
    void index_of_what_is_no_file()
    {
        QFETCH(QString, path);
        QFETCH(QString, reason);
        ScopedWorkdir dir;
        QCOMPARE(::mkfifo("pipe.ft1", 0600), 0);
        QVERIFY(QDir().mkpath("folder.ft1"));
        // Only what is named after it: other programs may write in /dev meanwhile.
        const QDir folder(QFileInfo(path).absolutePath());
        const QStringList beside{QFileInfo(path).fileName() + "*"};
        const QStringList before = folder.entryList(beside, QDir::AllEntries | QDir::System);
        const Run run = run_program(PICTRACE_CLI, {"index", path}, 20);
        QCOMPARE(run.status, 1);
        QCOMPARE(run.err, QString("pictrace-cli: %1: %2\n").arg(path, reason));
        QCOMPARE(folder.entryList(beside, QDir::AllEntries | QDir::System), before);
    }
};

QTEST_GUILESS_MAIN(TestSafety)
#include "tst_safety.moc"
