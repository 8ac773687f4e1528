#include "app/main_window.h"

#include "evaluation/multi_search.h"
#include "evaluation/radius_sweep.h"
#include "matcher/console.h"
#include "matcher/database_builder.h"
#include "matcher/ft1_reader.h"
#include "matcher/image_matcher.h"
#include "search/single_search.h"
#include "ui_main_window.h"

#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QtConcurrent>

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

std::optional<MainWindow::WindowSettings> MainWindow::shown_settings() const
{
    const WindowSettings shown{ui->spinBox_hs->value(), ui->spinBox_c->value()};
    if (ImageMatcher::refuse_invalid_settings(shown.radius, shown.step_divisor)) {
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
    args.append(m_dialogs.text(this, tr("Select name"),
                               tr("Input name of created database file. Suffix .ft1 is "
                                  "automatic."),
                               &accepted));
    if (!accepted || args[1] == QString()) {
        console::write("name is not valid");
        return;
    }
    args[1].append(".ft1");
    // The build works with the settings shown at its launch.
    store_settings(*settings);
    start_job(QtConcurrent::run(this, &MainWindow::pre_process_database_job, args));
}

void MainWindow::pre_process_database_job(QList<QString> args)
{
    BuildOptions options;
    options.progress = [this](int done, int total) { show_progress(done, total); };
    matcher->build_database(args[0], args[1], options);
    console::write("Database pre-processing done\n");
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
    QString message;
    QList<FeatureMap> loaded;
    LoadOptions options;
    options.progress = [this](int done, int total) { show_progress(done, total); };
    matcher->load_database(args[0], loaded, message, options);
    QMetaObject::invokeMethod(
        this,
        [this, loaded, message] {
            database.append(loaded);
            ui->label_out->setText(message);
        },
        Qt::QueuedConnection);
    console::write("Database readed\n");
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
    const QString path = m_dialogs.open_file_name(this, tr("Choose image pattern"),
                                                  tr("Image files (*.png *.jpg *.jpeg *.bmp)"));
    const QImage image = path.isEmpty() ? QImage() : QImage(path);
    const std::optional<FeatureMap> pattern = pattern_from_image(image, path);
    if (!pattern) {
        console::write("not supported image file\n");
        return;
    }
    show_scaled(ui->label_im1, image);
    store_settings(*settings);
    const SingleSearch result = search_single_pattern(*matcher, *pattern, database, path);
    show_scaled(ui->label_im2, QImage(result.found_image_path));
    ui->label_out->setText("pattern found in db in " + QString::number(result.elapsed_ms) + " ms");
}

void MainWindow::multi_search_in_db()
{
    if (refuse_while_job_runs()) {
        return;
    }
    const MultiSearch result = multi_search(*matcher, database);
    if (!result.refused) {
        ui->label_out->setText(success_rate_text(result.outcome.rate));
    }
}

void MainWindow::monster_compare()
{
    if (refuse_while_job_runs()) {
        return;
    }
    SweepCallbacks callbacks;
    callbacks.loaded = [this](const SweepPass &pass) { ui->label_out->setText(pass.load_message); };
    callbacks.searched = [this](const SweepPass &pass) {
        ui->label_out->setText(success_rate_text(pass.search.outcome.rate));
    };
    radius_sweep(*matcher, database, patterns_directory(), callbacks);
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
