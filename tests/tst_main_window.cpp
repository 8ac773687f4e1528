// The window, its form and the spin-box coupling.

#include "app/main_window.h"
#include "matcher/image_matcher.h"
#include "test_support.h"

#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
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
            QVERIFY(actions[k]->shortcut().isEmpty());
            QCOMPARE(actions[k]->parent(), &window);
        }
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
