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

struct Options {
    explicit Options(QCommandLineParser &parser)
    {
        parser.setApplicationDescription(
            "Finds the image of a collection from which a pattern image was cut.");
        parser.addHelpOption();
        parser.addVersionOption();
        parser.addOption(workdir);
        parser.addOption(workspace);
    }

    const QCommandLineOption workdir{{"C", "workdir"},
                                     "Work in DIR (its database/, patterns/ and "
                                     "precomputed_databases/).",
                                     "DIR"};
    const QCommandLineOption workspace{
        "workspace", QString("Work in %1, made when missing (the desktop entry's choice).")
                         .arg(QDir::toNativeSeparators(default_workspace()))};
};

void name_application()
{
    QCoreApplication::setApplicationName("pictrace");
    QCoreApplication::setApplicationVersion(PICTRACE_VERSION);
}

// Help and version need no display, which a GUI application cannot start without: they are
// answered before one exists.
bool asks_help_or_version(int argc, char *argv[])
{
    for (int k = 1; k < argc; ++k) {
        const QByteArray arg(argv[k]);
        if (arg == "--") {
            return false;
        }
        if (arg == "-C" || arg == "--workdir") {
            ++k; // its value
        } else if (arg == "-h" || arg == "--help" || arg == "-?" || arg == "--help-all" ||
                   arg == "-v" || arg == "--version") {
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    if (asks_help_or_version(argc, argv)) {
        QCoreApplication app(argc, argv);
        name_application();
        QCommandLineParser parser;
        const Options options(parser);
        parser.process(app); // prints to the standard output and exits
        return 0;
    }
    QApplication app(argc, argv);
    name_application();
    QCommandLineParser parser;
    const Options options(parser);
    parser.process(app);

    QString folder = parser.value(options.workdir);
    if (folder.isEmpty() && parser.isSet(options.workspace)) {
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
