#include "app/dialogs.h"

#include <QFileDialog>
#include <QInputDialog>

Dialogs Dialogs::standard()
{
    Dialogs dialogs;
    dialogs.existing_directory = [](QWidget *parent, const QString &caption) {
        return QFileDialog::getExistingDirectory(parent, caption, QString(),
                                                 QFileDialog::ShowDirsOnly |
                                                     QFileDialog::DontResolveSymlinks);
    };
    dialogs.text = [](QWidget *parent, const QString &title, const QString &label, bool *accepted) {
        return QInputDialog::getText(parent, title, label, QLineEdit::Normal, QString(), accepted);
    };
    dialogs.open_file_name = [](QWidget *parent, const QString &caption, const QString &filter) {
        return QFileDialog::getOpenFileName(parent, caption, QString(), filter);
    };
    return dialogs;
}
