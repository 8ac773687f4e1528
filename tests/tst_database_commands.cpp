// The Pre-process database and Open database commands and their jobs, end to end.

#include "matcher/image_matcher.h"
#include "test_support.h"
#include "window_support.h"

#include <QProgressBar>
#include <QtTest>

namespace {

const QRegularExpression build_done("^\\d+\tDatabase pre-processing done\n$");

// A window in a working directory with a folder of images.
struct Session {
    Session()
    {
        dir.mkpath("images");
        for (int k = 0; k < 3; ++k) {
            save_grey_image(dir.file(QString("images/i%1.png").arg(k)), 130, 120,
                            [k](int x, int y) { return (x * (k + 1) + y) % 256; });
        }
        ConsoleCapture quiet;
        window = std::make_unique<MainWindow>();
        DialogScript::install(*window, script);
    }
    void wait_for_job() { QTRY_VERIFY_WITH_TIMEOUT(!window->job_running(), 60000); }
    // Pre-process database of `folder` under `name`, as typed; the console's text.
    QString build(const QString &folder, const QString &name)
    {
        script->directories << folder;
        script->texts << qMakePair(name, true);
        ConsoleCapture console;
        run_command(*window, "pre_process_database");
        wait_for_job();
        return console.text();
    }

    ScopedWorkdir dir;
    std::shared_ptr<DialogScript> script = std::make_shared<DialogScript>();
    std::unique_ptr<MainWindow> window;
};

} // namespace

class TestDatabaseCommands : public QObject
{
    Q_OBJECT

private slots:
    void cancelling_the_directory_chooser()
    {
        Session s;
        ConsoleCapture console;
        run_command(*s.window, "pre_process_database");
        QCOMPARE(console.text(), QString("directory not opened\n"));
        QCOMPARE(s.window->status_text(), QString("No folder chosen: nothing built"));
        QCOMPARE(s.script->shown, QStringList{"directory: Chose database directory with images"});
        QVERIFY(!s.window->job_running());
    }

    void names_that_start_no_build_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("cancelled") << "typed" << false;
        QTest::newRow("accepted empty") << "" << true;
    }
    void names_that_start_no_build()
    {
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        Session s;
        s.script->directories << "images";
        s.script->texts << qMakePair(text, accepted);
        ConsoleCapture console;
        run_command(*s.window, "pre_process_database");
        QCOMPARE(console.text(), QString("name is not valid"));
        QCOMPARE(s.script->shown.last(),
                 QString("text: Select name | Input name of created database file. Suffix .ft1 "
                         "is automatic."));
        QVERIFY(!s.window->job_running());
        QVERIFY(!QFile::exists("precomputed_databases"));
    }

    void typed_names_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("file");
        QTest::newRow("plain name") << "holiday"
                                    << "holiday.ft1";
        QTest::newRow("suffix typed too") << "holiday.ft1"
                                          << "holiday.ft1.ft1";
        QTest::newRow("blanks kept") << " x "
                                     << " x .ft1";
    }
    void typed_names()
    {
        QFETCH(QString, typed);
        QFETCH(QString, file);
        Session s;
        s.script->directories << "images";
        s.script->texts << qMakePair(typed, true);
        ConsoleCapture console;
        run_command(*s.window, "pre_process_database");
        s.wait_for_job();
        QVERIFY2(build_done.match(console.text()).hasMatch(), qPrintable(console.text()));
        QVERIFY(QFile::exists("precomputed_databases/" + file));
        QCOMPARE(QDir("precomputed_databases").entryList(QDir::Files).size(), 1);
        QTRY_COMPARE(s.window->status_text(),
                     "Wrote precomputed_databases/" + file + ": 3 records");
    }

    void build_uses_the_settings_shown_at_its_launch()
    {
        Session s;
        widget<QSpinBox>(*s.window, "spinBox_h")->setValue(30);
        s.script->directories << "images";
        s.script->texts << qMakePair(QString("db"), true);
        ConsoleCapture console;
        run_command(*s.window, "pre_process_database");
        QCOMPARE(s.window->image_matcher().radius, 30);
        // Changing h while the job runs does not reach it.
        widget<QSpinBox>(*s.window, "spinBox_h")->setValue(40);
        s.wait_for_job();
        QCOMPARE(s.window->image_matcher().radius, 30);
        const QByteArray text = file_bytes("precomputed_databases/db.ft1");
        QVERIFY2(text.startsWith("i0;130;120;3;2;\n"), text.left(40).constData());
    }

    void invalid_settings_refuse_the_build()
    {
        Session s;
        widget<QSpinBox>(*s.window, "spinBox_h")->setValue(0);
        s.script->directories << "images";
        ConsoleCapture console;
        run_command(*s.window, "pre_process_database");
        QCOMPARE(console.text(), QString("invalid window settings: radius 0, step divisor 1\n"));
        QVERIFY(s.script->shown.isEmpty());
        QVERIFY(!QFile::exists("precomputed_databases"));
        QCOMPARE(s.window->image_matcher().radius, 50);
    }

    // The window's build of a folder with no image keeps the database it would have replaced.
    void build_of_no_image_keeps_the_database()
    {
        Session s;
        QVERIFY(s.dir.mkpath("empty"));
        QVERIFY(s.dir.mkpath("precomputed_databases"));
        QVERIFY(write_file("empty/notes.txt", "words"));
        QVERIFY(write_file("precomputed_databases/kept.ft1", "a;101;101;1;1;\n5;\nEOR\n"));
        QCOMPARE(s.build("empty", "kept"),
                 QString("skipped notes.txt: Unsupported image format\n"
                         "no image read from empty: "
                         "precomputed_databases/kept.ft1 is left as it was\n"
                         "Database pre-processing done\n"));
        QCOMPARE(file_bytes("precomputed_databases/kept.ft1"),
                 QByteArray("a;101;101;1;1;\n5;\nEOR\n"));
    }

    void build_into_a_file_that_cannot_be_created()
    {
        Session s;
        QCOMPARE(s.build("images", "no/such/folder"),
                 QString("cannot open file for writing database\n"
                         "precomputed_databases/no/such/folder.ft1: No such file "
                         "or directory\nDatabase pre-processing done\n"));
        QTRY_COMPARE(s.window->status_text(),
                     QString("Nothing written to precomputed_databases/no/such/folder.ft1 (see "
                             "the console)"));
    }

    void cancelling_the_file_chooser()
    {
        Session s;
        widget<QLabel>(*s.window, "label_out")->setText("kept");
        ConsoleCapture console;
        run_command(*s.window, "read_database");
        QCOMPARE(console.text(), QString("cannot open selected file\n"));
        QCOMPARE(s.script->shown,
                 QStringList{"file: Choose pre-computed database file | FT1 files (*.ft1)"});
        QCOMPARE(label_text(*s.window, "label_out"), QString("kept"));
        QVERIFY(!s.window->job_running());
    }

    void opening_databases_appends_them()
    {
        Session s;
        QVERIFY(s.dir.mkpath("precomputed_databases"));
        QVERIFY(write_file("precomputed_databases/a.ft1",
                           "a;1;1;1;1;\n5;\nEOR\nz;100;100;0;0;\nEOR\nb;1;1;1;1;\n6;\nEOR\n"));
        QVERIFY(write_file("precomputed_databases/c.ft1", "c;1;1;1;1;\n7;\nEOR\n"));
        s.script->files << "precomputed_databases/a.ft1"
                        << "precomputed_databases/c.ft1";
        ConsoleCapture console;
        run_command(*s.window, "read_database");
        QVERIFY(s.window->job_running());
        s.wait_for_job();
        QCOMPARE(label_text(*s.window, "label_out"),
                 QString("From opened database file restored 3 images"));
        run_command(*s.window, "read_database");
        s.wait_for_job();
        QCOMPARE(label_text(*s.window, "label_out"),
                 QString("From opened database file restored 1 images"));
        QCOMPARE(console.text(), QString("Database readed\nDatabase readed\n"));
        QStringList names;
        for (const FeatureMap &map : s.window->loaded_database()) {
            names << map.name;
        }
        QCOMPARE(names, (QStringList{"a", "b", "c"}));
    }

    // Hostile files in the image folder, as the pattern and as a database: each is named on the
    // console and the window keeps its database.
    void hostile_files_leave_the_window_and_its_database()
    {
        Session s;
        QVERIFY(s.dir.mkpath("precomputed_databases"));
        QVERIFY(write_file("precomputed_databases/a.ft1", "a;1;1;1;1;\n5;\nEOR\n"));
        QVERIFY(write_file(s.dir.file("images/bomb.svg"),
                           "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"60000\" "
                           "height=\"60000\"><rect width=\"9\" height=\"9\"/></svg>"));
        QByteArray records;
        for (int k = 0; k < 300; ++k) {
            records += QString("r%1;1;1;2500;2000;\nEOR\n").arg(k).toUtf8();
        }
        // The first record fits the file's size; together they would take 6 GB.
        QVERIFY(write_file("precomputed_databases/bomb.ft1", records + QByteArray(11 << 20, '\n')));
        s.script->files << "precomputed_databases/a.ft1"
                        << "precomputed_databases/bomb.ft1" << s.dir.file("images/bomb.svg");
        s.script->directories << s.dir.file("images");
        s.script->texts << qMakePair(QString("built"), true);
        ConsoleCapture console;
        run_command(*s.window, "read_database");
        s.wait_for_job();
        run_command(*s.window, "read_database");
        s.wait_for_job();
        QCOMPARE(s.window->loaded_database().size(), 2);
        run_command(*s.window, "pre_process_database");
        s.wait_for_job();
        run_command(*s.window, "search_in_db");
        const QString text = console.text();
        QVERIFY2(text.contains("skipped bomb.svg: 60000 x 60000 pixels"), qPrintable(text));
        QVERIFY2(text.contains("bomb.svg: 60000 x 60000 pixels (3600 megapixels), more than the "
                               "limit of 128 megapixels\nnot supported image file\n"),
                 qPrintable(text));
        QVERIFY2(text.contains("with the records before it, more than the file can hold"),
                 qPrintable(text));
        QCOMPARE(s.window->loaded_database().size(), 2);
        QCOMPARE(s.window->loaded_database().first().name, QString("a"));
        QVERIFY(QFile::exists("precomputed_databases/built.ft1"));
    }

    void opening_a_file_that_is_gone()
    {
        Session s;
        widget<QLabel>(*s.window, "label_out")->setText("old text");
        s.script->files << "removed.ft1";
        ConsoleCapture console;
        run_command(*s.window, "read_database");
        s.wait_for_job();
        QCOMPARE(console.text(),
                 QString("file with precomputed db was not opened\nremoved.ft1: No such file or "
                         "directory\nDatabase readed\n"));
        QCOMPARE(label_text(*s.window, "label_out"), QString());
        QVERIFY(s.window->loaded_database().isEmpty());
    }

    // While a job runs, commands that use the matcher or the database are refused and their
    // menu entries disabled; h stays editable; everything comes back when the job ends.
    void commands_wait_for_the_running_job()
    {
        Session s;
        s.script->directories << "images";
        s.script->texts << qMakePair(QString("db"), true);
        ConsoleCapture console;
        run_command(*s.window, "pre_process_database");
        QVERIFY(s.window->job_running());
        for (const char *name :
             {"actionPre_process_database", "actionOpen_database", "actionSearch_in_DB"}) {
            QVERIFY(!widget<QAction>(*s.window, name)->isEnabled());
        }
        QVERIFY(widget<QSpinBox>(*s.window, "spinBox_h")->isEnabled());
        QVERIFY(widget<QProgressBar>(*s.window, "jobProgress")->isVisibleTo(s.window.get()));
        const int dialogs_before = s.script->shown.size();
        for (const char *slot : {"pre_process_database", "read_database", "search_in_db",
                                 "multi_search_in_db", "monster_compare"}) {
            run_command(*s.window, slot);
        }
        QCOMPARE(s.script->shown.size(), dialogs_before);
        s.wait_for_job();
        QCOMPARE(console.text().count("command refused: a database job is still running\n"), 5);
        for (const char *name :
             {"actionPre_process_database", "actionOpen_database", "actionSearch_in_DB"}) {
            QVERIFY(widget<QAction>(*s.window, name)->isEnabled());
        }
        QVERIFY(!widget<QAction>(*s.window, "actionMulti_Search_in_DB")->isEnabled());
        QVERIFY(!widget<QAction>(*s.window, "actionMonster_Compare")->isEnabled());
        QVERIFY(!widget<QProgressBar>(*s.window, "jobProgress")->isVisibleTo(s.window.get()));
    }

    // Closing the window while a job runs waits for the job, which completes its file.
    void window_closed_during_a_build()
    {
        Session s;
        for (int k = 3; k < 40; ++k) {
            save_grey_image(s.dir.file(QString("images/i%1.png").arg(k)), 200, 200,
                            [k](int x, int y) { return (x * k + y) % 256; });
        }
        s.script->directories << "images";
        s.script->texts << qMakePair(QString("db"), true);
        ConsoleCapture console;
        run_command(*s.window, "pre_process_database");
        s.window.reset();
        QVERIFY(build_done.match(console.text()).hasMatch());
        QCOMPARE(file_bytes("precomputed_databases/db.ft1").count("EOR\n"), 40);
    }
};

QTEST_MAIN(TestDatabaseCommands)
#include "tst_database_commands.moc"
