#include "cli/terminal.h"

#include "support/console.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <unistd.h>

namespace {

std::ostream *&results()
{
    static std::ostream *stream = nullptr;
    return stream;
}

QtMessageHandler &earlier_handler()
{
    static QtMessageHandler handler = nullptr;
    return handler;
}

bool platform_noise(QtMsgType type, const QMessageLogContext &context)
{
    if (type != QtDebugMsg && type != QtInfoMsg && type != QtWarningMsg) {
        return false;
    }
    const char *category = context.category ? context.category : "";
    return std::strncmp(category, "qt.qpa", 6) == 0;
}

void filter_message(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (platform_noise(type, context)) {
        return;
    }
    if (earlier_handler()) {
        earlier_handler()(type, context, text);
        return;
    }
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    if (type == QtFatalMsg) {
        std::abort();
    }
}

} // namespace

void set_quiet()
{
    // A stream without a buffer takes every write and keeps nothing.
    static std::ostream nowhere(nullptr);
    std::ostream *sink = console::set_sink(&nowhere);
    results() = sink ? sink : &std::cout;
}

bool quiet()
{
    return results() != nullptr;
}

void show(const QString &text)
{
    if (!results()) {
        console::write(text);
        return;
    }
    const QByteArray utf8 = text.toUtf8();
    results()->write(utf8.constData(), utf8.size());
    results()->flush();
}

bool progress_drawable()
{
    const QByteArray term = qgetenv("TERM");
    return !quiet() && isatty(STDOUT_FILENO) != 0 && isatty(STDERR_FILENO) != 0 &&
           !term.isEmpty() && term != "dumb";
}

void keep_platform_noise_off()
{
    // Qt warns of a runtime folder it has to make up: a private one, removed at the end.
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        static QTemporaryDir runtime(QDir::tempPath() + "/pictrace-runtime-XXXXXX");
        if (runtime.isValid()) {
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        }
    }
    earlier_handler() = qInstallMessageHandler(filter_message);
}
