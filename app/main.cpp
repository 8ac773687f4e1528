#include "app/main_window.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QMessageBox>

#include <cstdio>

namespace {

// The folder the desktop entry starts the window in: where its commands look for database/,
// patterns/ and precomputed_databases/. Made, with those folders, when missing.
QString default_workspace()
{
    return QDir::home().filePath("Pictrace");
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName("pictrace");
    QApplication::setApplicationVersion(PICTRACE_VERSION);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Finds the image of a collection from which a pattern image was cut.");
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption workdir({"C", "workdir"},
                                     "Work in DIR (its database/, patterns/ and "
                                     "precomputed_databases/).",
                                     "DIR");
    const QCommandLineOption workspace(
        "workspace", QString("Work in %1, made when missing (the desktop entry's choice).")
                         .arg(QDir::toNativeSeparators(default_workspace())));
    parser.addOption(workdir);
    parser.addOption(workspace);
    parser.process(app);

    QString folder = parser.value(workdir);
    if (folder.isEmpty() && parser.isSet(workspace)) {
        folder = default_workspace();
        for (const char *sub : {"database", "patterns", "precomputed_databases"}) {
            QDir(folder).mkpath(sub);
        }
    }
    if (!folder.isEmpty() && !QDir::setCurrent(folder)) {
        const QString text = QString("pictrace: no folder %1 to work in").arg(folder);
        std::fprintf(stderr, "%s\n", qPrintable(text));
        QMessageBox::critical(nullptr, "pictrace", text);
        return 1;
    }
    MainWindow window;
    window.show();
    return app.exec();
}
