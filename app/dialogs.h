#pragma once
// The modal dialogs that the window's commands ask their inputs with. The window holds one set;
// tests give it a scripted set so that the commands run end to end without a person.

#include <QString>

#include <functional>

class QWidget;

struct Dialogs {
    // QFileDialog::getExistingDirectory: directories only, symbolic links not resolved.
    std::function<QString(QWidget *parent, const QString &caption)> existing_directory;
    // QInputDialog::getText with normal echo and an empty initial text; *accepted tells whether
    // the user pressed OK.
    std::function<QString(QWidget *parent, const QString &title, const QString &label,
                          bool *accepted)>
        text;
    // QFileDialog::getOpenFileName with the given name filter.
    std::function<QString(QWidget *parent, const QString &caption, const QString &filter)>
        open_file_name;

    static Dialogs standard();
};
