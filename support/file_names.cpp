#include "support/file_names.h"

#include <QFile>

#include <dirent.h>

QStringList names_not_listed(const QString &directory)
{
    QStringList names;
    DIR *listing = ::opendir(QFile::encodeName(directory).constData());
    if (!listing) {
        return names;
    }
    while (const dirent *entry = ::readdir(listing)) {
        if (entry->d_type == DT_DIR) {
            continue;
        }
        const QByteArray bytes(entry->d_name);
        const QString name = QFile::decodeName(bytes);
        if (QFile::encodeName(name) != bytes) {
            names.append(name);
        }
    }
    ::closedir(listing);
    names.sort();
    return names;
}
