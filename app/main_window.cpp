#include "app/main_window.h"

#include "commands/commands.h"
#include "commands/settings_verdict.h"
#include "maps/image_file.h"
#include "matcher/image_matcher.h"
#include "support/console.h"
#include "ui_main_window.h"

#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QtConcurrent>

#include <new>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(std::make_unique<MainWindowForm>())
    , m_dialogs(Dialogs::standard())
{
    ui->setupUi(this);

    connect(ui->actionPre_process_database, &QAction::triggered, this,
            &MainWindow::pre_process_database);
    connect(ui->actionOpen_database, &QAction::triggered, this, &MainWindow::read_database);
    connect(ui->actionSearch_in_DB, &QAction::triggered, this, &MainWindow::search_in_db);
    connect(ui->actionMulti_Search_in_DB, &QAction::triggered, this,
            &MainWindow::multi_search_in_db);
    connect(ui->actionMonster_Compare, &QAction::triggered, this, &MainWindow::monster_compare);

    matcher = std::make_unique<ImageMatcher>(ui->spinBox_hs->value(), ui->spinBox_c->value());

    m_progress = new QProgressBar(ui->statusbar);
    m_progress->setObjectName("jobProgress");
    m_progress->setFormat("%v / %m");
    m_progress->setMaximumWidth(200);
    m_progress->hide();
    ui->statusbar->addPermanentWidget(m_progress);
    connect(&m_job_watcher, &QFutureWatcher<void>::finished, this, [this] { end_job(); });
}

MainWindow::~MainWindow()
{
    // A job works on the matcher: let it end first. What it still posts to this window is
    // dropped with the window.
    m_job.waitForFinished();
}

void MainWindow::set_dialogs(Dialogs dialogs)
{
    m_dialogs = std::move(dialogs);
}

bool MainWindow::refuse_while_job_runs() const
{
    if (m_job_active) {
        console::write("command refused: a database job is still running\n");
    }
    return m_job_active;
}

// The actions stay disabled, and commands refused, until the window has taken the job's
// results; h stays editable, as it only acts when a command copies it.
void MainWindow::start_job(const QFuture<void> &job)
{
    m_job_active = true;
    ui->actionPre_process_database->setEnabled(false);
    ui->actionOpen_database->setEnabled(false);
    ui->actionSearch_in_DB->setEnabled(false);
    m_progress->setRange(0, 0);
    m_progress->show();
    m_job = job;
    m_job_watcher.setFuture(m_job);
}

void MainWindow::end_job()
{
    m_job_active = false;
    ui->actionPre_process_database->setEnabled(true);
    ui->actionOpen_database->setEnabled(true);
    ui->actionSearch_in_DB->setEnabled(true);
    m_progress->hide();
}

// Called on the job's thread.
void MainWindow::show_progress(int done, int total)
{
    QMetaObject::invokeMethod(
        this,
        [this, done, total] {
            m_progress->setRange(0, total);
            m_progress->setValue(done);
        },
        Qt::QueuedConnection);
}

std::optional<WindowSettings> MainWindow::shown_settings() const
{
    const WindowSettings shown{ui->spinBox_hs->value(), ui->spinBox_c->value()};
    if (refuse_invalid(shown)) {
        return std::nullopt;
    }
    return shown;
}

void MainWindow::store_settings(const WindowSettings &settings)
{
    matcher->radius = settings.radius;
    matcher->step_divisor = settings.step_divisor;
}

void MainWindow::pre_process_database()
{
    if (refuse_while_job_runs()) {
        return;
    }
    const std::optional<WindowSettings> settings = shown_settings();
    if (!settings) {
        return;
    }
    QList<QString> args;
    args.append(m_dialogs.existing_directory(this, tr("Chose database directory with images")));
    if (args[0] == QString()) {
        console::write("directory not opened\n");
        return;
    }
    bool accepted = false;
    const QString typed = m_dialogs.text(
        this, tr("Select name"),
        tr("Input name of created database file. Suffix .ft1 is automatic."), &accepted);
    const std::optional<QString> file_name = commands::database_file_name(typed, accepted);
    if (!file_name) {
        return;
    }
    args.append(*file_name);
    // The build works with the settings shown at its launch.
    store_settings(*settings);
    start_job(QtConcurrent::run(this, &MainWindow::pre_process_database_job, args));
}

void MainWindow::pre_process_database_job(QList<QString> args)
{
    guarded([&] {
        commands::BuildRequest request;
        request.directory = args[0];
        request.file_name = args[1];
        request.settings = matcher->settings();
        request.progress = [this](int done, int total) { show_progress(done, total); };
        commands::build(request);
    });
}

// A job that runs out of memory stops with a line on the console; the window and what it has
// loaded stay.
void MainWindow::guarded(const std::function<void()> &job)
{
    try {
        job();
    } catch (const std::bad_alloc &) {
        console::write("not enough memory: the command was stopped\n");
    } catch (const std::exception &error) {
        console::write(QString("the command was stopped: %1\n").arg(error.what()));
    }
}

void MainWindow::read_database()
{
    if (refuse_while_job_runs()) {
        return;
    }
    QList<QString> args;
    args.append(m_dialogs.open_file_name(this, tr("Choose pre-computed database file"),
                                         tr("FT1 files (*.ft1)")));
    if (args[0] == QString()) {
        console::write("cannot open selected file\n");
        return;
    }
    start_job(QtConcurrent::run(this, &MainWindow::read_database_job, args));
}

// The maps are read into a list of the job's own; the window appends them in one step.
void MainWindow::read_database_job(QList<QString> args)
{
    guarded([&] {
        const commands::LoadResult loaded =
            commands::load(args[0], [this](int done, int total) { show_progress(done, total); });
        QMetaObject::invokeMethod(
            this,
            [this, loaded] {
                database.append(loaded.database.maps);
                m_records.append(loaded.database.records);
                ui->label_out->setText(loaded.label_text);
            },
            Qt::QueuedConnection);
    });
}

void MainWindow::search_in_db()
{
    if (refuse_while_job_runs()) {
        return;
    }
    const std::optional<WindowSettings> settings = shown_settings();
    if (!settings) {
        return;
    }
    commands::SearchRequest request;
    request.pattern_path = m_dialogs.open_file_name(this, tr("Choose image pattern"),
                                                    tr("Image files (*.png *.jpg *.jpeg *.bmp)"));
    request.settings = *settings;
    const commands::SearchResult result = commands::search(request, loaded());
    if (!result.pattern_loaded) {
        return;
    }
    store_settings(*settings);
    show_scaled(ui->label_im1, result.pattern_image);
    show_scaled(ui->label_im2, read_image_file(result.found_image_path).image);
    show_result(result.label_text);
    if (result.searched) {
        warn_about_settings(*settings);
        console::write(answer_block(result.answer));
    }
}

void MainWindow::multi_search_in_db()
{
    if (refuse_while_job_runs()) {
        return;
    }
    const commands::MultiResult result = commands::multi_search(matcher->settings(), loaded());
    show_result(result.label_text);
    if (result.searched) {
        warn_about_settings(matcher->settings());
    }
}

// The sweep works on databases of its own and leaves the matcher at its last pass's settings
// and the window's database empty.
void MainWindow::monster_compare()
{
    if (refuse_while_job_runs()) {
        return;
    }
    database.clear();
    m_records.clear();
    const commands::SweepResult result =
        commands::radius_sweep(patterns_directory(), SearchOptions(), [](const QString &warning) {
            console::write("warning: " + warning + "\n");
        });
    store_settings({sweep_radii().last(), 1});
    show_result(result.label_text);
}

commands::Database MainWindow::loaded() const
{
    commands::Database loaded;
    loaded.maps = database;
    loaded.records = m_records;
    return loaded;
}

// A database built with other settings gives answers that mean nothing; the search still runs,
// as the user asked for it.
void MainWindow::warn_about_settings(const WindowSettings &settings) const
{
    const std::optional<QString> warning = commands::settings_warning(m_records, settings);
    if (warning) {
        console::write("warning: " + *warning + "\n");
    }
}

void MainWindow::show_result(const std::optional<QString> &text)
{
    if (text) {
        ui->label_out->setText(*text);
    }
}

// An image scaled into a picture label, keeping its aspect ratio; a null image clears it.
void MainWindow::show_scaled(QLabel *label, const QImage &image)
{
    label->setPixmap(image.isNull()
                         ? QPixmap()
                         : QPixmap::fromImage(image.scaled(label->size(), Qt::KeepAspectRatio,
                                                           Qt::SmoothTransformation)));
}

void MainWindow::on_spinBox_h_valueChanged(int)
{
    update_scaled_radius();
}

void MainWindow::on_spinBox_c_valueChanged(int)
{
    update_scaled_radius();
}

// h' always shows c * h; the spin box clamps it to its range.
void MainWindow::update_scaled_radius()
{
    const int c = ui->spinBox_c->value();
    const int h = ui->spinBox_h->value();
    ui->spinBox_hs->setValue(c * h);
}
