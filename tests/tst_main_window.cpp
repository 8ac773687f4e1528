// The window, its form and the spin-box coupling; its status bar, shortcuts, drops and found
// image; and its command line without a display.

#include "app/main_window.h"
#include "matcher/image_matcher.h"
#include "search_workspace.h"
#include "test_support.h"

#include <QAction>
#include <QDropEvent>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStatusBar>
#include <QTranslator>
#include <QtTest>

namespace {

// Records every lookup of the translation function.
class RecordingTranslator : public QTranslator
{
public:
    QString translate(const char *context, const char *source, const char *, int) const override
    {
        lookups.append({QString(context), QString(source)});
        return QString();
    }
    bool isEmpty() const override { return false; }
    mutable QList<QPair<QString, QString>> lookups;
};

// A process without a display: the window's command line is run as from a text console.
class ConsoleProcess : public QProcess
{
public:
    ConsoleProcess()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
            environment.remove(name);
        }
        setProcessEnvironment(environment);
    }
};

// Whether a pixel within two of (x, y) is red.
bool red_near(const QImage &image, double x, double y)
{
    for (int dy = -2; dy <= 2; ++dy) {
        for (int dx = -2; dx <= 2; ++dx) {
            const QRgb pixel = image.pixel(int(x) + dx, int(y) + dy);
            if (qRed(pixel) > 200 && qGreen(pixel) < 80 && qBlue(pixel) < 80) {
                return true;
            }
        }
    }
    return false;
}

template <typename T> T *child(QWidget &window, const char *name)
{
    T *found = window.findChild<T *>(name);
    if (!found) {
        qWarning("no child %s", name);
    }
    return found;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void start_up()
    {
        ConsoleCapture console;
        MainWindow window;
        QCOMPARE(console.text(), QString("running\n"));
        QCOMPARE(window.objectName(), QString("MainWindow"));
        QCOMPARE(window.windowTitle(), QString("Pictrace v1.0"));
        QCOMPARE(window.size(), QSize(517, 218));
        QCOMPARE(window.image_matcher().radius, 50);
        QCOMPARE(window.image_matcher().step_divisor, 1);
        QVERIFY(window.loaded_database().isEmpty());
        QVERIFY(!window.job_running());
    }

    void form_widgets_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("className");
        QTest::addColumn<QString>("parentName");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QString>("text");
        auto row = [](const char *name, const char *cls, const char *parent, QRect geometry,
                      bool enabled, const char *text) {
            QTest::newRow(name) << QString(name) << QString(cls) << QString(parent) << geometry
                                << enabled << QString(text);
        };
        row("groupBox", "QGroupBox", "centralwidget", {10, 10, 120, 111}, true, "Config");
        row("spinBox_h", "QSpinBox", "groupBox", {50, 20, 42, 22}, true, "50");
        row("spinBox_hs", "QSpinBox", "groupBox", {50, 50, 42, 22}, false, "50");
        row("label", "QLabel", "groupBox", {20, 20, 21, 16}, true, "h =");
        row("label_2", "QLabel", "groupBox", {20, 80, 21, 16}, true, "c =");
        row("spinBox_c", "QSpinBox", "groupBox", {50, 80, 42, 22}, false, "1");
        row("label_3", "QLabel", "centralwidget", {30, 60, 21, 16}, true, "h' =");
        row("label_im1", "QLabel", "centralwidget", {150, 20, 160, 140}, true, "");
        row("label_im2", "QLabel", "centralwidget", {320, 20, 190, 140}, true, "");
        row("label_out", "QLabel", "centralwidget", {150, 0, 361, 16}, true, "");
        row("label_4", "QLabel", "centralwidget", {190, 160, 81, 16}, true, "Opened pattern");
        row("label_5", "QLabel", "centralwidget", {380, 160, 71, 16}, true, "Found image");
    }
    void form_widgets()
    {
        QFETCH(QString, name);
        QFETCH(QString, className);
        QFETCH(QString, parentName);
        QFETCH(QRect, geometry);
        QFETCH(bool, enabled);
        QFETCH(QString, text);
        MainWindow window;
        auto *widget = window.findChild<QWidget *>(name);
        QVERIFY(widget);
        QCOMPARE(QString(widget->metaObject()->className()), className);
        QCOMPARE(widget->parentWidget()->objectName(), parentName);
        QCOMPARE(widget->geometry(), geometry);
        QCOMPARE(widget->isEnabled(), enabled);
        if (auto *label = qobject_cast<QLabel *>(widget)) {
            QCOMPARE(label->text(), text);
        } else if (auto *spin = qobject_cast<QSpinBox *>(widget)) {
            QCOMPARE(QString::number(spin->value()), text);
            QCOMPARE(spin->minimum(), 0);
            QCOMPARE(spin->maximum(), name == "spinBox_c" ? 99 : 5000);
        } else if (auto *group = qobject_cast<QGroupBox *>(widget)) {
            QCOMPARE(group->title(), text);
        }
    }

    void picture_labels_have_panel_frames()
    {
        MainWindow window;
        for (const char *name : {"label_im1", "label_im2"}) {
            auto *label = child<QLabel>(window, name);
            QCOMPARE(label->frameShape(), QFrame::Panel);
            QCOMPARE(label->frameShadow(), QFrame::Plain);
        }
        QVERIFY(window.centralWidget() == child<QWidget>(window, "centralwidget"));
        QVERIFY(window.statusBar() == child<QStatusBar>(window, "statusbar"));
        QCOMPARE(window.menuBar()->geometry().width(), 517);
    }

    // Its line and the hidden progress bar leave the status bar as high as an empty one.
    void status_bar_is_no_higher_than_an_empty_one()
    {
        MainWindow window;
        window.show();
        QMainWindow bare;
        bare.resize(window.size());
        bare.setStatusBar(new QStatusBar(&bare));
        bare.show();
        QCoreApplication::processEvents();
        QCOMPARE(window.statusBar()->height(), bare.statusBar()->height());
    }

    void menu_lists_five_commands_the_last_two_greyed_out()
    {
        MainWindow window;
        QCOMPARE(window.menuBar()->actions().size(), 1);
        auto *menu = child<QMenu>(window, "menuMenu");
        QCOMPARE(menu->title(), QString("Menu"));
        QCOMPARE(window.menuBar()->actions().first(), menu->menuAction());
        const QList<QAction *> actions = menu->actions();
        const QStringList names = {"actionPre_process_database", "actionOpen_database",
                                   "actionSearch_in_DB", "actionMulti_Search_in_DB",
                                   "actionMonster_Compare"};
        const QStringList texts = {"Pre-process database", "Open database", "Search in DB",
                                   "Multi Search in DB", "Monster Compare"};
        QCOMPARE(actions.size(), 5);
        for (int k = 0; k < 5; ++k) {
            QCOMPARE(actions[k]->objectName(), names[k]);
            QCOMPARE(actions[k]->text(), texts[k]);
            QCOMPARE(actions[k]->isEnabled(), k < 3);
            QCOMPARE(actions[k]->parent(), &window);
        }
    }

    // Greyed-out commands keep their keys and stay off.
    void shortcuts_trigger_their_commands_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QKeySequence>("keys");
        QTest::addColumn<bool>("triggers");
        auto row = [](const char *name, const char *action, QKeySequence keys, bool triggers) {
            QTest::newRow(name) << QString(action) << keys << triggers;
        };
        row("pre-process: new", "actionPre_process_database", QKeySequence::New, true);
        row("open", "actionOpen_database", QKeySequence::Open, true);
        row("search: find", "actionSearch_in_DB", QKeySequence::Find, true);
        row("multi search, greyed out", "actionMulti_Search_in_DB",
            QKeySequence(Qt::CTRL + Qt::SHIFT + Qt::Key_F), false);
        row("monster compare, greyed out", "actionMonster_Compare",
            QKeySequence(Qt::CTRL + Qt::Key_R), false);
        row("quit", "actionQuit", QKeySequence(Qt::CTRL + Qt::Key_Q), true);
    }
    void shortcuts_trigger_their_commands()
    {
        QFETCH(QString, action);
        QFETCH(QKeySequence, keys);
        QFETCH(bool, triggers);
        ScopedWorkdir dir;
        ConsoleCapture quiet;
        MainWindow window;
        auto script = std::make_shared<DialogScript>();
        DialogScript::install(window, script);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        auto *bound = window.findChild<QAction *>(action);
        QVERIFY(bound);
        QCOMPARE(bound->shortcut(), keys);
        QSignalSpy triggered(bound, &QAction::triggered);
        QTest::keySequence(&window, keys);
        QCOMPARE(triggered.count(), triggers ? 1 : 0);
        QTRY_VERIFY(!window.job_running());
    }

    void texts_are_looked_up_in_the_window_context()
    {
        RecordingTranslator translator;
        QCoreApplication::installTranslator(&translator);
        {
            MainWindow window;
        }
        QCoreApplication::removeTranslator(&translator);
        QStringList sources;
        for (const auto &lookup : translator.lookups) {
            if (lookup.first == "MainWindow") {
                sources << lookup.second;
            }
        }
        for (const char *text : {"Pictrace v1.0", "Pre-process database", "Open database",
                                 "Search in DB", "Multi Search in DB", "Monster Compare", "Config",
                                 "h =", "c =", "h' =", "Opened pattern", "Found image", "Menu"}) {
            QVERIFY2(sources.contains(text), text);
        }
    }

    void slots_in_their_order()
    {
        MainWindow window;
        const QMetaObject *meta = window.metaObject();
        QCOMPARE(QString(meta->className()), QString("MainWindow"));
        const QStringList expected = {
            "pre_process_database()",        "read_database()",   "search_in_db()",
            "multi_search_in_db()",          "monster_compare()", "on_spinBox_h_valueChanged(int)",
            "on_spinBox_c_valueChanged(int)"};
        for (int k = 0; k < expected.size(); ++k) {
            const QMetaMethod method = meta->method(meta->methodOffset() + k);
            QCOMPARE(QString(method.methodSignature()), expected[k]);
            QCOMPARE(method.methodType(), QMetaMethod::Slot);
            QCOMPARE(method.access(), QMetaMethod::Private);
        }
    }

    // Every keystroke in h updates h' at once; the matcher is not touched.
    void typing_into_h_updates_h_prime()
    {
        MainWindow window;
        window.show();
        auto *h = child<QSpinBox>(window, "spinBox_h");
        auto *hs = child<QSpinBox>(window, "spinBox_hs");
        h->setFocus();
        h->selectAll();
        QTest::keyClick(h, Qt::Key_Delete);
        QList<int> seen;
        for (char digit : {'1', '2', '0'}) {
            QTest::keyClick(h, digit);
            seen << hs->value();
        }
        QCOMPARE(seen, (QList<int>{1, 12, 120}));
        QCOMPARE(h->value(), 120);
        QCOMPARE(window.image_matcher().radius, 50);
        QCOMPARE(window.image_matcher().step_divisor, 1);
    }

    void h_prime_is_the_product_clamped_to_its_range_data()
    {
        QTest::addColumn<int>("h");
        QTest::addColumn<int>("c");
        QTest::addColumn<int>("shown");
        QTest::newRow("c 1") << 37 << 1 << 37;
        QTest::newRow("c 3") << 40 << 3 << 120;
        QTest::newRow("c 0") << 40 << 0 << 0;
        QTest::newRow("product above 5000 shows 5000") << 2000 << 3 << 5000;
        QTest::newRow("h above its range is clamped first") << 9000 << 1 << 5000;
    }
    void h_prime_is_the_product_clamped_to_its_range()
    {
        QFETCH(int, h);
        QFETCH(int, c);
        QFETCH(int, shown);
        MainWindow window;
        child<QSpinBox>(window, "spinBox_c")->setValue(c);
        child<QSpinBox>(window, "spinBox_h")->setValue(h);
        QCOMPARE(child<QSpinBox>(window, "spinBox_hs")->value(), shown);
    }

    // What the status bar says after a search, and what the result line and the found image
    // show. A crop of cat at (20, 30) is searched, 80 x 60 pixels.
    void status_after_a_search_data()
    {
        QTest::addColumn<QString>("suffix"); // of the database's images
        QTest::addColumn<bool>("open");
        QTest::addColumn<int>("h");
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("label");
        QTest::addColumn<bool>("found_shown");
        const QString answer = "cat \\(found\\): crop x 20, y 30, 80 x 60 pixels; runner-up none "
                               "within 2 times the best";
        const QString timed = "pattern found in db in \\d+ ms";
        QTest::newRow("the answer")
            << "png" << true << 10 << "shots/cat.png" << answer << timed << true;
        QTest::newRow("a png crop of a jpeg collection")
            << "jpg" << true << 10 << "shots/cat.png" << answer << timed << true;
        QTest::newRow("found image missing")
            << "png" << true << 10 << "shots/cat.bmp" << answer + "; found image not in database/"
            << timed << false;
        QTest::newRow("settings that do not fit")
            << "png" << true << 12 << "shots/cat.png"
            << "h = 12 does not fit the database \\(set h to 10\\): \\w+ \\(.*" << timed << true;
        QTest::newRow("no database loaded")
            << "png" << false << 10 << "shots/cat.png"
            << "No database loaded: open one \\(Ctrl\\+O\\) or build one \\(Ctrl\\+N\\): "
               "nothing searched"
            << "" << false;
        QTest::newRow("pattern not read") << "png" << true << 10 << "shots/text.png"
                                          << "Pattern not read: text.png: .+: nothing searched"
                                          << "" << false;
        QTest::newRow("no pattern chosen") << "png" << true << 10 << ""
                                           << "No pattern chosen: nothing searched"
                                           << "before" << false;
    }
    void status_after_a_search()
    {
        QFETCH(QString, suffix);
        QFETCH(bool, open);
        QFETCH(int, h);
        QFETCH(QString, pattern);
        QFETCH(QString, status);
        QFETCH(QString, label);
        QFETCH(bool, found_shown);
        Workspace w(suffix);
        if (open) {
            w.open_database();
        }
        QCOMPARE(w.window->status_text(),
                 open ? QString("Read precomputed_databases/three.ft1: 3 records") : QString());
        Workspace::save_crop("cat." + suffix, {20, 30, 80, 60}, "shots/cat.png");
        Workspace::save_crop("cat." + suffix, {20, 30, 80, 60}, "shots/cat.bmp");
        QVERIFY(write_file("shots/text.png", "not an image"));
        if (pattern.endsWith(".bmp")) {
            QVERIFY(QFile::remove("database/cat.png"));
        }
        widget<QSpinBox>(*w.window, "spinBox_h")->setValue(h);
        widget<QLabel>(*w.window, "label_out")->setText("before");
        w.script->files << pattern;
        ConsoleCapture quiet;
        run_command(*w.window, "search_in_db");
        QVERIFY2(QRegularExpression("^" + status + "$").match(w.window->status_text()).hasMatch(),
                 qPrintable(w.window->status_text()));
        QVERIFY2(QRegularExpression("^" + label + "$")
                     .match(label_text(*w.window, "label_out"))
                     .hasMatch(),
                 qPrintable(label_text(*w.window, "label_out")));
        QCOMPARE(w.has_picture("label_im2"), found_shown);
    }

    // The located crop is outlined in red on the found image, where it was cut.
    void found_image_outlines_the_crop_data()
    {
        QTest::addColumn<QRect>("cut");
        QTest::newRow("on the grid") << QRect(20, 30, 80, 60);
        QTest::newRow("off the grid") << QRect(23, 37, 70, 50);
    }
    void found_image_outlines_the_crop()
    {
        QFETCH(QRect, cut);
        Workspace w;
        w.open_database();
        Workspace::save_crop("cat.png", cut, "shots/cat.png");
        w.script->files << "shots/cat.png";
        ConsoleCapture quiet;
        run_command(*w.window, "search_in_db");
        const QImage shown =
            widget<QLabel>(*w.window, "label_im2")->pixmap(Qt::ReturnByValue).toImage();
        QVERIFY(!shown.isNull());
        const double scale = double(shown.width()) / 120;
        const QRectF outline(cut.x() * scale, cut.y() * scale, cut.width() * scale,
                             cut.height() * scale);
        const QPointF middle = outline.center();
        QVERIFY(red_near(shown, outline.left() + 1, middle.y()));
        QVERIFY(red_near(shown, middle.x(), outline.bottom() - 1));
        QVERIFY(!red_near(shown, middle.x(), middle.y()));
        QVERIFY(!red_near(shown, outline.left() - 6, middle.y()));
    }

    // One local file dropped is searched as a chosen one; anything else is refused.
    void dropped_pattern_is_searched_data()
    {
        QTest::addColumn<QList<QUrl>>("urls");
        QTest::addColumn<bool>("searched");
        const QUrl crop = QUrl::fromLocalFile("shots/cat.png");
        QTest::newRow("a local file") << QList<QUrl>{crop} << true;
        QTest::newRow("two files") << QList<QUrl>{crop, crop} << false;
        QTest::newRow("a web address") << QList<QUrl>{QUrl("https://example.org/cat.png")} << false;
    }
    void dropped_pattern_is_searched()
    {
        QFETCH(QList<QUrl>, urls);
        QFETCH(bool, searched);
        Workspace w;
        w.open_database();
        Workspace::save_crop("cat.png", {20, 30, 80, 60}, "shots/cat.png");
        QMimeData data;
        data.setUrls(urls);
        ConsoleCapture console;
        QDragEnterEvent enter(QPoint(200, 80), Qt::CopyAction, &data, Qt::LeftButton,
                              Qt::NoModifier);
        QCoreApplication::sendEvent(w.window.get(), &enter);
        QCOMPARE(enter.isAccepted(), searched);
        QDropEvent drop(QPointF(200, 80), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(w.window.get(), &drop);
        QCOMPARE(console.text().contains("search2 = cat\n"), searched);
        QCOMPARE(w.has_picture("label_im1"), searched);
    }

    // Help and version need no display.
    void command_line_without_a_display_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("output");
        QTest::newRow("version") << "--version"
                                 << "pictrace " PICTRACE_VERSION "\n";
        QTest::newRow("help") << "--help"
                              << "Usage: .*pictrace \\[options\\]\n(.|\n)*--workdir(.|\n)*";
    }
    void command_line_without_a_display()
    {
        QFETCH(QString, option);
        QFETCH(QString, output);
        const ProgramRun run = run_program<ConsoleProcess>(PICTRACE_WINDOW, {option}, 60);
        QCOMPARE(run.status, 0);
        QVERIFY2(QRegularExpression("^" + output + "$").match(run.out).hasMatch(),
                 qPrintable(run.out));
    }

    void enlarging_leaves_widgets_in_place()
    {
        MainWindow window;
        window.show();
        auto *label = child<QLabel>(window, "label_im2");
        const QRect before = label->geometry();
        window.resize(900, 600);
        QCoreApplication::processEvents();
        QCOMPARE(label->geometry(), before);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_main_window.moc"
