// libFuzzer target: any bytes as a .ft1 database file. The reader must load what it can and
// report the rest, within bounded memory, never reading or writing out of bounds.

#include "ft1/ft1_reader.h"
#include "support/console.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <unistd.h>

namespace {

QString scratch_path()
{
    static const QString path =
        QString("/dev/shm/pictrace-fuzz-%1.ft1").arg(QCoreApplication::applicationPid());
    return path;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    static std::ostringstream quiet;
    console::set_sink(&quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    QFile file(scratch_path());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::abort();
    }
    file.write(reinterpret_cast<const char *>(data), qint64(size));
    file.close();
    TextReadOptions options;
    int calls = 0;
    options.progress = [&](int done, int total) {
        ++calls;
        if (done < 1 || done > total) {
            std::abort(); // progress never passes the records counted first
        }
    };
    const Ft1Contents contents = read_ft1_text(scratch_path(), options);
    // Every map kept is complete and within what the file could hold.
    qint64 cells = 0;
    for (const FeatureMap &map : contents.maps) {
        if (!map.has_values()) {
            std::abort();
        }
        cells += map.cell_count();
    }
    if (cells * 2 > qint64(size) + 2 || contents.problems.size() > max_problems_listed + 1) {
        std::abort();
    }
    return 0;
}
