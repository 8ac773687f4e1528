// libFuzzer target: any bytes as an image file, then its descriptor at every grid phase and as
// a database map. The first byte picks the window settings. Images are refused above a small
// pixel limit here (64 kilopixels), as they would be above the user's limit.

#include "maps/centre_descriptor.h"
#include "maps/descriptor.h"
#include "maps/grey_map.h"
#include "maps/image_file.h"

#include <QFile>
#include <QGuiApplication>

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace {

QString scratch_path(const char *suffix)
{
    return QString("/dev/shm/pictrace-fuzz-%1.%2")
        .arg(QCoreApplication::applicationPid())
        .arg(suffix);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QGuiApplication app(*argc, *argv);
    set_pixel_limit(1 << 16);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2) {
        return 0;
    }
    // The first byte: radius 1-16 and step divisor 1-4; the second: the suffix the file gets.
    static const char *const suffixes[] = {"png", "jpg", "bmp", "gif", "pgm", "xpm", "svg", "ico"};
    const int radius = 1 + (data[0] & 15);
    const int divisor = 1 + ((data[0] >> 4) & 3);
    const char *suffix = suffixes[data[1] & 7];
    const QString path = scratch_path(suffix);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::abort();
    }
    file.write(reinterpret_cast<const char *>(data + 2), qint64(size - 2));
    file.close();

    GreyRead read = read_grey_map(path);
    QFile::remove(path);
    if (!read.map) {
        return 0;
    }
    const FeatureMap &grey = *read.map;
    if (qint64(grey.width) * grey.height > pixel_limit()) {
        std::abort();
    }
    const WindowSettings settings{radius, divisor};
    const FeatureMap map = descriptor_map(grey, settings);
    if (!settings.valid() || !map.has_values()) {
        return 0;
    }
    // Phase (0, 0) of the centres is the map itself, bit for bit: a grid of up to 8 x 8 cells.
    CentreDescriptor centres(grey, settings);
    if (centres.phase_size(0, 0) != QSize(map.width, map.height)) {
        std::abort();
    }
    for (int l = 0; l < map.height; l += 1 + map.height / 8) {
        for (int k = 0; k < map.width; k += 1 + map.width / 8) {
            const float a = map.at(k, l);
            const float b = centres.phase_value(0, 0, k, l);
            if (!(a == b || (std::isnan(a) && std::isnan(b)))) {
                std::abort();
            }
        }
    }
    return 0;
}
