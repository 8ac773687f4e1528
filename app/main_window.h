#pragma once
// The application's one window: the form, the matcher with its settings, the in-memory database
// and the menu commands. Commands collect their inputs with dialogs, call the core and show the
// results; the two database commands run their work as background jobs on the global thread
// pool. While a job runs, the commands that use the matcher or the database are disabled and
// refused, so a search always sees a whole database.

#include "app/dialogs.h"
#include "commands/commands.h"
#include "maps/feature_map.h"
#include "maps/window_settings.h"

#include <QFuture>
#include <QFutureWatcher>
#include <QList>
#include <QMainWindow>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class ImageMatcher;
class QDragEnterEvent;
class QDropEvent;
class QImage;
class QLabel;
class QProgressBar;
class QRect;
namespace Ui {
class MainWindow;
}
using MainWindowForm = Ui::MainWindow;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // For tests and embedding: the dialogs the commands use, the state they work on.
    void set_dialogs(Dialogs dialogs);
    const ImageMatcher &image_matcher() const { return *matcher; }
    const QList<FeatureMap> &loaded_database() const { return database; }
    // True from a job's launch until the window has taken its results.
    bool job_running() const { return m_job_active; }
    // The status bar's line: what the last command did, or why it did nothing.
    QString status_text() const;

protected:
    // A pattern image dropped on the window is searched as Search in DB searches a chosen one.
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private slots:
    void pre_process_database();
    void read_database();
    void search_in_db();
    void multi_search_in_db();
    void monster_compare();
    void on_spinBox_h_valueChanged(int arg1);
    void on_spinBox_c_valueChanged(int arg1);

private:
    // Run on a worker thread; they reach the window only through queued calls.
    void pre_process_database_job(QList<QString> args);
    void read_database_job(QList<QString> args);
    static void guarded(const std::function<void()> &job);

    // The window settings h' and c show, when they give a window step; otherwise the refusal
    // is written and shown, and there are none.
    std::optional<WindowSettings> shown_settings();
    void store_settings(const WindowSettings &settings);

    void bind_shortcuts();
    void search_pattern(const QString &path);
    void show_status(const QString &text);
    void show_found(const QImage &image, const QRect &crop);
    void update_scaled_radius();
    bool refuse_while_job_runs() const;
    void start_job(const QFuture<void> &job);
    void end_job();
    void show_progress(int done, int total);
    static void show_scaled(QLabel *label, const QImage &image);
    void show_result(const std::optional<QString> &text);
    commands::Database loaded() const;
    void warn_about_settings(const WindowSettings &settings) const;

    std::unique_ptr<MainWindowForm> ui;
    std::unique_ptr<ImageMatcher> matcher;
    QList<FeatureMap> database;
    QList<Ft1Record> m_records; // the headers of the loaded database's records

    Dialogs m_dialogs;
    QFuture<void> m_job; // the running database job, waited for before the window goes
    QFutureWatcher<void> m_job_watcher;
    bool m_job_active = false;
    QProgressBar *m_progress = nullptr;
    QLabel *m_status = nullptr;
};
