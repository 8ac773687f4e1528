#pragma once
// The application's one window: the form, the matcher with its settings, the in-memory database
// and the menu commands. Commands collect their inputs with dialogs, call the core and show the
// results; the two database commands run their work as background jobs.

#include "app/dialogs.h"
#include "matcher/feature_map.h"

#include <QFuture>
#include <QList>
#include <QMainWindow>
#include <QString>

#include <memory>

class ImageMatcher;
namespace Ui {
class MainWindow;
}
using MainWindowForm = Ui::MainWindow;

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // For tests and embedding: the dialogs the commands use, the state they work on.
    void set_dialogs(Dialogs dialogs);
    const ImageMatcher &image_matcher() const { return *matcher; }
    const QList<FeatureMap> &loaded_database() const { return database; }
    bool job_running() const;

private slots:
    void pre_process_database();
    void read_database();
    void search_in_db();
    void multi_search_in_db();
    void monster_compare();
    void on_spinBox_h_valueChanged(int arg1);
    void on_spinBox_c_valueChanged(int arg1);

private:
    void update_scaled_radius();

    std::unique_ptr<MainWindowForm> ui;
    std::unique_ptr<ImageMatcher> matcher;
    QList<FeatureMap> database;

    Dialogs m_dialogs;
    QFuture<void> m_job; // the running database job, if any; waited for before the window goes
};
