#include "ft1/database_builder.h"

#include "ft1/ft1_writer.h"
#include "maps/descriptor.h"
#include "maps/grey_map.h"
#include "support/atomic_file.h"
#include "support/console.h"
#include "support/file_names.h"
#include "support/shard.h"
#include "support/threads.h"
#include "support/tick_clock.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>

#include <QDataStream>

#include <algorithm>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <vector>

QString database_directory()
{
    return QStringLiteral("precomputed_databases/");
}

namespace {

// What one listed file contributes to the database: its record, or the reason it is left out.
struct PreparedRecord {
    QByteArray text;
    QString name; // the base name it is stored under
    QString skipped;
};

PreparedRecord prepare_record(const WindowSettings &settings, const QString &directory,
                              const QFileInfo &file)
{
    PreparedRecord record;
    // The image's pixels stay leased from the decode budget until its record is made.
    GreyRead read = read_grey_map(directory + "/" + file.fileName());
    if (!read.map) {
        record.skipped = QString("skipped %1: %2\n")
                             .arg(console::printable(file.fileName()),
                                  read.problem.isEmpty() ? QString("not an image") : read.problem);
        return record;
    }
    FeatureMap &grey = *read.map;
    grey.name = file.baseName();
    const QString problem = ft1_name_problem(grey.name);
    if (!problem.isEmpty()) {
        record.skipped =
            QString("skipped %1: %2\n").arg(console::printable(file.fileName()), problem);
        return record;
    }
    try {
        const FeatureMap descriptor = descriptor_map(grey, settings);
        append_ft1_record(record.text, encode_ft1_name(grey.name), grey.width, grey.height,
                          descriptor);
        record.name = grey.name;
    } catch (const std::bad_alloc &) {
        record = PreparedRecord();
        record.skipped = QString("skipped %1: not enough memory for its map\n")
                             .arg(console::printable(file.fileName()));
    }
    return record;
}

// Writes buffered text once enough has gathered; false after a write error.
bool write_out(AtomicFile &file, QByteArray &buffer, bool force)
{
    constexpr int chunk = 1 << 20;
    if (buffer.isEmpty() || (!force && buffer.size() < chunk)) {
        return true;
    }
    const bool written = file.write(buffer);
    buffer.clear();
    return written;
}

// Shared work: the listing is taken in batches; in each, every process prepares every
// ranks-th file, and the lead process writes all records in listing order. False when the
// lead process could not write.
bool build_shared(Shard &shard, const WindowSettings &settings, const QString &directory,
                  const QFileInfoList &files, int threads,
                  const std::function<bool(int, PreparedRecord &)> &take)
{
    const int ranks = shard.ranks();
    const int rank = shard.rank();
    const int batch = 16 * ranks;
    bool written = true;
    for (int begin = 0; begin < files.size() && written; begin += batch) {
        const int end = std::min<int>(files.size(), begin + batch);
        QList<int> mine;
        for (int k = begin + rank; k < end; k += ranks) {
            mine.append(k);
        }
        QByteArray packed;
        QDataStream out(&packed, QIODevice::WriteOnly);
        ordered_parallel<PreparedRecord>(
            mine.size(), thread_count(threads),
            [&](int k) { return prepare_record(settings, directory, files[mine[k]]); },
            [&](int, PreparedRecord &record) {
                out << record.text << record.name << record.skipped;
                return true;
            });
        const QList<QByteArray> all = shard.gather(packed);
        if (rank == 0) {
            std::vector<std::unique_ptr<QDataStream>> from;
            for (const QByteArray &bytes : all) {
                from.push_back(std::make_unique<QDataStream>(bytes));
            }
            for (int k = begin; k < end && written; ++k) {
                QDataStream &in = *from[static_cast<std::size_t>((k - begin) % ranks)];
                PreparedRecord record;
                in >> record.text >> record.name >> record.skipped;
                if (in.status() != QDataStream::Ok) {
                    throw std::runtime_error("the records of process " +
                                             std::to_string((k - begin) % ranks) +
                                             " arrived damaged");
                }
                written = take(k, record);
            }
        }
        written = shard.broadcast(written ? "1" : "0") == "1";
    }
    return written;
}

} // namespace

bool build_database(const WindowSettings &settings, const QString &directory,
                    const QString &file_name, const BuildOptions &options)
{
    const std::uint32_t start = tick_ms();
    const QString path = database_directory() + file_name;
    // Shared work: the lead process alone writes the file.
    Shard *shard = sharded() ? work_shard() : nullptr;
    const bool writer = !shard || shard->rank() == 0;
    std::optional<AtomicFile> file;
    bool opened = true;
    if (writer) {
        QDir().mkpath(database_directory());
        // The file is written aside and replaces an existing database only when complete.
        file.emplace(path);
        opened = file->open();
    }
    if (shard) {
        opened = shard->broadcast(opened ? "1" : "0") == "1";
    }
    if (!opened) {
        console::write(QString("cannot open file for writing database\n%1: %2\n")
                           .arg(path, file ? file->error() : QString("the lead process failed")));
        return false;
    }
    QDir listing(directory);
    listing.setFilter(QDir::Files | QDir::NoDotAndDotDot);
    const QFileInfoList files = listing.entryInfoList();
    for (const QString &name : names_not_listed(directory)) {
        console::write(QString("skipped %1: the file name is not valid UTF-8\n").arg(name));
    }

    // Images are decoded and mapped in parallel; records are written in listing order.
    QByteArray buffer;
    // Base names identify the images in every answer: two images under one name are told.
    QHash<QString, QString> file_of_name;
    BuildSummary summary;
    const std::function<bool(int, PreparedRecord &)> take = [&](int k, PreparedRecord &record) {
        if (!record.skipped.isEmpty()) {
            console::write(record.skipped);
            ++summary.skipped;
        }
        summary.images += record.text.isEmpty() ? 0 : 1;
        if (!record.text.isEmpty()) {
            const auto earlier = file_of_name.constFind(record.name);
            if (earlier != file_of_name.constEnd()) {
                console::write(QString("two images stored as %1: %2 and %3\n")
                                   .arg(console::printable(record.name),
                                        console::printable(*earlier),
                                        console::printable(files[k].fileName())));
            } else {
                file_of_name.insert(record.name, files[k].fileName());
            }
        }
        buffer.append(record.text);
        const bool written = write_out(*file, buffer, false);
        if (options.progress) {
            options.progress(k + 1, files.size());
        }
        return written;
    };
    bool written = true;
    if (shard) {
        written = build_shared(*shard, settings, directory, files, options.threads, take);
    } else {
        ordered_parallel<PreparedRecord>(
            files.size(), thread_count(options.threads),
            [&](int k) { return prepare_record(settings, directory, files[k]); },
            [&](int k, PreparedRecord &record) {
                written = take(k, record);
                return written;
            });
    }
    // A database of no image would replace one that holds some: it is not written.
    bool none_read = summary.images == 0;
    if (writer) {
        written = written && (none_read || (write_out(*file, buffer, true) && file->commit()));
    }
    if (shard) {
        const QByteArray lead = shard->broadcast(!written ? "0" : none_read ? "2" : "1");
        written = lead != "0";
        none_read = lead == "2";
    }
    if (options.summary) {
        *options.summary = summary;
    }
    if (written && none_read) {
        console::write(QString("no image read from %1: %2\n")
                           .arg(directory, QFileInfo::exists(path)
                                               ? path + " is left as it was"
                                               : QString("no database written")));
        return false;
    }
    if (!written) {
        console::write(QString("cannot write database file %1: %2\n")
                           .arg(path, file ? file->error() : QString("the lead process failed")));
        return false;
    }
    console::write(std::to_string(ticks_between(start, tick_ms())) + "\t");
    return true;
}
