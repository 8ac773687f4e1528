// libFuzzer target: any bytes as the binary index beside a .ft1. An input that starts like an
// index has the fields that tie it to its .ft1 and its checksums made to fit, so that the
// fuzzer reaches the tables and sections instead of stopping at a checksum. The reader must
// refuse what does not hold together, never reading out of bounds.
//
// With PICTRACE_FUZZ_SEEDS=DIR set, the target writes the seed corpus instead: the indexes of a
// few databases of its own, into DIR.

#include "ft1/database_file.h"
#include "ft1/ft1_index.h"
#include "ft1/ft1_index_format.h"
#include "support/checksum.h"
#include "support/console.h"
#include "support/file_stamp.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

QString ft1_path()
{
    static const QString path =
        QString("/dev/shm/pictrace-fuzz-%1.ft1").arg(QCoreApplication::applicationPid());
    return path;
}

void write_bytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes) != bytes.size()) {
        std::abort();
    }
}

// Databases the seeds are the indexes of: maps of several sizes, a record without cells,
// malformed lines, duplicate names.
QList<QByteArray> seed_databases()
{
    QByteArray rows;
    for (int y = 0; y < 12; ++y) {
        for (int x = 0; x < 12; ++x) {
            rows += QByteArray::number((x * 13 + y * 7) % 101) + ";";
        }
        rows += "\n";
    }
    return {"a;101;101;1;1;\n5;\nEOR\n",
            "big;600;600;12;12;\n" + rows + "EOR\nbig;600;600;12;12;\n" + rows + "EOR\n",
            "none;50;50;-1;-1;\nEOR\nbad line\nb;200;100;2;1;\n1.5;-2;\nEOR\ncut;1;1;3;3;\n"};
}

void write_seeds(const QString &directory)
{
    QDir().mkpath(directory);
    const QList<QByteArray> databases = seed_databases();
    for (int k = 0; k < databases.size(); ++k) {
        write_bytes(ft1_path(), databases[k]);
        if (!write_ft1_index(ft1_path()).written ||
            !QFile::copy(ft1_index_path(ft1_path()),
                         QString("%1/seed%2.idx").arg(directory).arg(k))) {
            std::abort();
        }
    }
    QFile::remove(ft1_path());
    QFile::remove(ft1_index_path(ft1_path()));
}

// The checksums and the .ft1's stamp, as the writer would have put them.
void make_fit(QByteArray &index)
{
    IndexHeader header;
    if (index.size() < int(sizeof header) ||
        std::memcmp(index.constData(), index_magic, sizeof index_magic) != 0) {
        return;
    }
    std::memcpy(&header, index.constData(), sizeof header);
    const FileStamp stamp = stamp_of(ft1_path());
    const FileChecksum source = file_checksum(ft1_path());
    header.ft1_bytes = stamp.bytes;
    header.ft1_modified_ns = stamp.modified_ns;
    header.ft1_changed_ns = stamp.changed_ns;
    header.ft1_inode = stamp.inode;
    header.ft1_checksum = source.value;
    header.file_bytes = std::uint64_t(index.size());
    const IndexLayout at = index_layout(counts_of(header));
    if (at.cells <= at.records && at.records <= header.file_bytes) {
        Checksum tables;
        tables.add(index.constData() + at.records, std::size_t(header.file_bytes - at.records));
        header.tables_checksum = tables.value();
        Checksum data;
        data.add(index.constData() + at.cells, std::size_t(at.records - at.cells));
        header.data_checksum = data.value();
    }
    header.header_checksum = header_checksum(header);
    std::memcpy(index.data(), &header, sizeof header);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    static std::ostringstream quiet;
    console::set_sink(&quiet);
    if (!qEnvironmentVariableIsEmpty("PICTRACE_FUZZ_SEEDS")) {
        write_seeds(qEnvironmentVariable("PICTRACE_FUZZ_SEEDS"));
        std::exit(0);
    }
    write_bytes(ft1_path(), seed_databases()[1]);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    QByteArray index(reinterpret_cast<const char *>(data), int(size));
    make_fit(index);
    write_bytes(ft1_index_path(ft1_path()), index);
    for (const bool check_data : {false, true}) {
        const IndexRead read = read_ft1_index(ft1_path(), check_data);
        if (read.state != IndexState::used) {
            continue;
        }
        // Every map read stays within the index.
        qint64 cells = 0;
        for (const FeatureMap &map : read.contents.maps) {
            cells += map.cell_count();
        }
        if (cells * qint64(sizeof(float)) > qint64(size)) {
            std::abort();
        }
    }
    return 0;
}
