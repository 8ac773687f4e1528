#include "ft1/database_file.h"

#include "ft1/ft1_index.h"
#include "ft1/ft1_reader.h"
#include "support/console.h"

Ft1Contents read_ft1(const QString &path, const LoadOptions &options)
{
    QString index_note;
    if (options.use_index) {
        IndexRead index = read_ft1_index(path, options.check_index_data);
        if (index.state == IndexState::used) {
            if (options.progress) {
                options.progress(index.contents.maps.size(), index.contents.maps.size());
            }
            return std::move(index.contents);
        }
        if (index.state != IndexState::absent) {
            index_note =
                QString("%1: %2; the index is not used").arg(ft1_index_path(path), index.error);
        }
    }
    TextReadOptions text;
    text.progress = options.progress;
    Ft1Contents contents = read_ft1_text(path, text);
    if (contents.opened) {
        contents.index_note = index_note;
    }
    return contents;
}

QString ft1_summary(int header_lines)
{
    return QStringLiteral("From opened database file restored ") + QString::number(header_lines) +
           QStringLiteral(" images");
}

Ft1Contents load_database_file(const QString &path, const LoadOptions &options)
{
    Ft1Contents contents = read_ft1(path, options);
    if (!contents.opened) {
        console::write("file with precomputed db was not opened\n" + path + ": " + contents.error +
                       "\n");
        return contents;
    }
    if (!contents.index_note.isEmpty()) {
        console::write(contents.index_note + "\n");
    }
    for (const QString &problem : contents.problems) { // up to the limit, then a count
        console::write(problem + "\n");
    }
    return contents;
}

void load_database(const QString &path, QList<FeatureMap> &database, QString &message,
                   const LoadOptions &options)
{
    const Ft1Contents contents = load_database_file(path, options);
    if (contents.opened) {
        database.append(contents.maps);
        message = ft1_summary(contents.header_lines);
    }
}
