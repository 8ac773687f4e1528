#include "app/main_window.h"

#include "matcher/image_matcher.h"
#include "ui_main_window.h"

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(std::make_unique<MainWindowForm>())
    , m_dialogs(Dialogs::standard()) {
    ui->setupUi(this);

    connect(ui->actionPre_process_database, &QAction::triggered, this,
            &MainWindow::pre_process_database);
    connect(ui->actionOpen_database, &QAction::triggered, this, &MainWindow::read_database);
    connect(ui->actionSearch_in_DB, &QAction::triggered, this, &MainWindow::search_in_db);
    connect(ui->actionMulti_Search_in_DB, &QAction::triggered, this,
            &MainWindow::multi_search_in_db);
    connect(ui->actionMonster_Compare, &QAction::triggered, this, &MainWindow::monster_compare);

    matcher = std::make_unique<ImageMatcher>(ui->spinBox_hs->value(), ui->spinBox_c->value());
}

MainWindow::~MainWindow() {
    // A job works on the matcher and reports to this window: let it end first.
    m_job.waitForFinished();
}

void MainWindow::set_dialogs(Dialogs dialogs) {
    m_dialogs = std::move(dialogs);
}

bool MainWindow::job_running() const {
    return m_job.isRunning();
}

void MainWindow::pre_process_database() {}

void MainWindow::read_database() {}

void MainWindow::search_in_db() {}

void MainWindow::multi_search_in_db() {}

void MainWindow::monster_compare() {}

void MainWindow::on_spinBox_h_valueChanged(int) {
    update_scaled_radius();
}

void MainWindow::on_spinBox_c_valueChanged(int) {
    update_scaled_radius();
}

// h' always shows c * h; the spin box clamps it to its range.
void MainWindow::update_scaled_radius() {
    const int c = ui->spinBox_c->value();
    const int h = ui->spinBox_h->value();
    ui->spinBox_hs->setValue(c * h);
}
