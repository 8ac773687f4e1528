#pragma once
// Driving the window's commands in tests: scripted dialogs and access to its widgets.

#include "app/dialogs.h"
#include "app/main_window.h"

#include <QAction>
#include <QLabel>
#include <QMetaObject>
#include <QSpinBox>
#include <QStringList>

#include <memory>

// Answers the commands' dialogs from queues and records every dialog shown.
struct DialogScript {
    QStringList directories;
    QList<QPair<QString, bool>> texts; // text, accepted
    QStringList files;
    QStringList shown;

    static Dialogs install(MainWindow &window, const std::shared_ptr<DialogScript> &script)
    {
        Dialogs dialogs;
        dialogs.existing_directory = [script](QWidget *, const QString &caption) {
            script->shown << "directory: " + caption;
            return script->directories.isEmpty() ? QString() : script->directories.takeFirst();
        };
        dialogs.text = [script](QWidget *, const QString &title, const QString &label,
                                bool *accepted) {
            script->shown << "text: " + title + " | " + label;
            const auto answer =
                script->texts.isEmpty() ? qMakePair(QString(), false) : script->texts.takeFirst();
            *accepted = answer.second;
            return answer.first;
        };
        dialogs.open_file_name = [script](QWidget *, const QString &caption,
                                          const QString &filter) {
            script->shown << "file: " + caption + " | " + filter;
            return script->files.isEmpty() ? QString() : script->files.takeFirst();
        };
        window.set_dialogs(dialogs);
        return dialogs;
    }
};

inline void run_command(MainWindow &window, const char *slot)
{
    QMetaObject::invokeMethod(&window, slot, Qt::DirectConnection);
}

template <typename T> T *widget(MainWindow &window, const char *name)
{
    return window.findChild<T *>(name);
}

inline QString label_text(MainWindow &window, const char *name)
{
    return widget<QLabel>(window, name)->text();
}
