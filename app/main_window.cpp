#include "app/main_window.h"

#include "commands/commands.h"
#include "commands/settings_verdict.h"
#include "commands/status_line.h"
#include "ft1/database_builder.h"
#include "maps/image_file.h"
#include "matcher/image_matcher.h"
#include "support/console.h"
#include "ui_main_window.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QImage>
#include <QLabel>
#include <QMimeData>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QUrl>
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
    bind_shortcuts();
    setAcceptDrops(true);

    matcher = std::make_unique<ImageMatcher>(ui->spinBox_hs->value(), ui->spinBox_c->value());

    m_progress = new QProgressBar(ui->statusbar);
    m_progress->setObjectName("jobProgress");
    m_progress->setFormat("%v / %m");
    m_progress->setMaximumWidth(200);
    // The status bar makes room for its widgets even while they are hidden: no more than a
    // line of text, so that it does not cover the form's picture captions.
    m_progress->setMaximumHeight(m_progress->fontMetrics().height());
    m_progress->hide();
    // The line may be longer than the window is wide: it must not widen the window, and it is
    // shown whole as the tip.
    m_status = new QLabel(ui->statusbar);
    m_status->setObjectName("label_status");
    m_status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    ui->statusbar->addWidget(m_status, 1);
    ui->statusbar->addPermanentWidget(m_progress);
    connect(&m_job_watcher, &QFutureWatcher<void>::finished, this, [this] { end_job(); });
}

MainWindow::~MainWindow()
{
    // A job works on the matcher: let it end first. What it still posts to this window is
    // dropped with the window.
    m_job.waitForFinished();
}

// Standard keys where the platform has one for the command; the window's own Quit has no menu
// entry, as the form's menu stays as it is.
void MainWindow::bind_shortcuts()
{
    ui->actionPre_process_database->setShortcut(QKeySequence::New);
    ui->actionOpen_database->setShortcut(QKeySequence::Open);
    ui->actionSearch_in_DB->setShortcut(QKeySequence::Find);
    ui->actionMulti_Search_in_DB->setShortcut(QKeySequence(Qt::CTRL + Qt::SHIFT + Qt::Key_F));
    ui->actionMonster_Compare->setShortcut(QKeySequence(Qt::CTRL + Qt::Key_R));
    auto *quit = new QAction(tr("Quit"), this);
    quit->setObjectName("actionQuit");
    // Not QKeySequence::Quit: some platforms bind none.
    quit->setShortcut(QKeySequence(Qt::CTRL + Qt::Key_Q));
    quit->setShortcutContext(Qt::ApplicationShortcut);
    connect(quit, &QAction::triggered, this, &QWidget::close);
    addAction(quit);
}

QString MainWindow::status_text() const
{
    return m_status->text();
}

void MainWindow::show_status(const QString &text)
{
    m_status->setText(text);
    m_status->setToolTip(text);
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

std::optional<WindowSettings> MainWindow::shown_settings()
{
    const WindowSettings shown{ui->spinBox_hs->value(), ui->spinBox_c->value()};
    if (refuse_invalid(shown)) {
        show_status(commands::refusal_status(shown));
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
        show_status(commands::unchosen_status(commands::Unchosen::folder));
        return;
    }
    bool accepted = false;
    const QString typed = m_dialogs.text(
        this, tr("Select name"),
        tr("Input name of created database file. Suffix .ft1 is automatic."), &accepted);
    const std::optional<QString> file_name = commands::database_file_name(typed, accepted);
    if (!file_name) {
        show_status(commands::unchosen_status(commands::Unchosen::database_name));
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
        BuildSummary summary;
        request.summary = &summary;
        const bool written = commands::build(request);
        const QString status =
            commands::build_status(database_directory() + args[1], written, summary.images);
        QMetaObject::invokeMethod(
            this, [this, status] { show_status(status); }, Qt::QueuedConnection);
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
        show_status(commands::unchosen_status(commands::Unchosen::database_file));
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
            [this, loaded, path = args[0]] {
                database.append(loaded.database.maps);
                m_records.append(loaded.database.records);
                ui->label_out->setText(loaded.label_text);
                show_status(commands::load_status(path, loaded, database.size()));
            },
            Qt::QueuedConnection);
    });
}

void MainWindow::search_in_db()
{
    if (refuse_while_job_runs() || !shown_settings()) {
        return;
    }
    search_pattern(m_dialogs.open_file_name(this, tr("Choose image pattern"),
                                            tr("Image files (*.png *.jpg *.jpeg *.bmp)")));
}

void MainWindow::search_pattern(const QString &path)
{
    if (refuse_while_job_runs()) {
        return;
    }
    const std::optional<WindowSettings> settings = shown_settings();
    if (!settings) {
        return;
    }
    commands::SearchRequest request;
    request.pattern_path = path;
    request.settings = *settings;
    const commands::SearchResult result = commands::search(request, loaded());
    show_status(commands::search_status(path, result, m_records, *settings));
    // A cancelled dialog leaves the last answer on screen; a pattern that did not read does not.
    if (!result.pattern_loaded) {
        if (!path.isEmpty()) {
            show_scaled(ui->label_im1, QImage());
            show_scaled(ui->label_im2, QImage());
            ui->label_out->clear();
        }
        return;
    }
    store_settings(*settings);
    show_scaled(ui->label_im1, result.pattern_image);
    show_found(read_image_file(result.found_image_path).image, result.answer.crop);
    // The system's line claims a find: only for a search that ran.
    show_result(result.searched ? result.label_text : QString());
    if (result.searched) {
        warn_about_settings(*settings);
        console::write(answer_block(result.answer));
    }
}

void MainWindow::dragEnterEvent(QDragEnterEvent *event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.size() == 1 && urls.first().isLocalFile()) {
        event->acceptProposedAction();
    }
}

void MainWindow::dropEvent(QDropEvent *event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.size() != 1 || !urls.first().isLocalFile()) {
        return;
    }
    event->acceptProposedAction();
    search_pattern(urls.first().toLocalFile());
}

void MainWindow::multi_search_in_db()
{
    if (refuse_while_job_runs()) {
        return;
    }
    const commands::MultiResult result = commands::multi_search(matcher->settings(), loaded());
    show_result(result.label_text);
    show_status(commands::multi_status(result, patterns_directory()));
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

// The found image with the crop outlined on the scaled copy, so that the line stays visible
// however large the image; no crop, no outline.
void MainWindow::show_found(const QImage &image, const QRect &crop)
{
    show_scaled(ui->label_im2, image);
    if (image.isNull() || crop.isEmpty()) {
        return;
    }
    QPixmap shown = ui->label_im2->pixmap(Qt::ReturnByValue);
    const double scale = double(shown.width()) / image.width();
    QPainter painter(&shown);
    painter.setPen(QPen(Qt::red, 2));
    painter.setBrush(Qt::NoBrush);
    const QRectF outline(crop.x() * scale, crop.y() * scale, crop.width() * scale,
                         crop.height() * scale);
    painter.drawRect(
        outline.intersected(QRectF(0, 0, shown.width(), shown.height())).adjusted(1, 1, -1, -1));
    painter.end();
    ui->label_im2->setPixmap(shown);
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
