#pragma once
// Helpers shared by the tests: console capture, temporary working directories, synthetic maps.

#include "maps/feature_map.h"
#include "support/console.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QMetaType>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <sstream>
#include <string>

Q_DECLARE_METATYPE(FeatureMap)

// How a program run ended and what it printed: its exit code, -1 when it crashed, -2 when it
// ran out of time (and was killed).
struct ProgramRun {
    int status = -1;
    QString out;
    QString err;
};

// Runs `program` in a `Process` (a QProcess, or one that sets the child up) from `directory`
// (the current one when empty), waiting up to `seconds`. LeakSanitizer's own tracer now and
// then crashes while a process ends, whatever the process did ("LeakSanitizer has encountered
// a fatal error", not a leak report): such a run is repeated once.
template <class Process = QProcess>
ProgramRun run_program(const QString &program, const QStringList &arguments, int seconds,
                       const QString &directory = QString())
{
    for (int attempt = 0;; ++attempt) {
        Process process;
        if (!directory.isEmpty()) {
            process.setWorkingDirectory(directory);
        }
        process.start(program, arguments);
        if (!process.waitForFinished(seconds * 1000)) {
            process.kill();
            process.waitForFinished();
            return {-2, "", "timed out"};
        }
        ProgramRun run{process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                       QString::fromUtf8(process.readAllStandardOutput()),
                       QString::fromUtf8(process.readAllStandardError())};
        if (attempt == 0 && run.status != 0 &&
            run.err.contains("LeakSanitizer has encountered a fatal error")) {
            continue;
        }
        return run;
    }
}

// Collects everything written to the console while it lives.
class ConsoleCapture
{
public:
    ConsoleCapture()
        : m_previous(console::set_sink(&m_stream))
    {}
    ~ConsoleCapture() { console::set_sink(m_previous); }
    ConsoleCapture(const ConsoleCapture &) = delete;
    ConsoleCapture &operator=(const ConsoleCapture &) = delete;

    QString text() const { return QString::fromStdString(m_stream.str()); }
    void clear() { m_stream.str(std::string()); }

private:
    std::ostringstream m_stream;
    std::ostream *m_previous;
};

// Makes a fresh temporary directory the working directory while it lives.
class ScopedWorkdir
{
public:
    ScopedWorkdir()
        : m_previous(QDir::currentPath())
    {
        QDir::setCurrent(m_dir.path());
    }
    ~ScopedWorkdir() { QDir::setCurrent(m_previous); }
    ScopedWorkdir(const ScopedWorkdir &) = delete;
    ScopedWorkdir &operator=(const ScopedWorkdir &) = delete;

    QString path() const { return m_dir.path(); }
    QString file(const QString &relative) const { return m_dir.filePath(relative); }
    bool mkpath(const QString &relative) const { return QDir(m_dir.path()).mkpath(relative); }

private:
    QTemporaryDir m_dir;
    QString m_previous;
};

inline FeatureMap map_from_rows(std::initializer_list<std::initializer_list<float>> rows,
                                const QString &name = QString())
{
    const int height = static_cast<int>(rows.size());
    const int width = height > 0 ? static_cast<int>(rows.begin()->size()) : 0;
    FeatureMap map = FeatureMap::allocate(width, height, name);
    int y = 0;
    for (const auto &row : rows) {
        int x = 0;
        for (float value : row) {
            map.at(x++, y) = value;
        }
        ++y;
    }
    return map;
}

// A grey map of whole grey levels 0..255: smooth structure plus noise, so that descriptors vary.
inline FeatureMap random_grey_map(std::mt19937 &rng, int width, int height,
                                  const QString &name = QString())
{
    FeatureMap map = FeatureMap::allocate(width, height, name);
    std::uniform_int_distribution<int> noise(-20, 20);
    std::uniform_real_distribution<double> phase(0.0, 6.283);
    const double px = phase(rng);
    const double py = phase(rng);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double smooth = 128 + 60 * std::sin(x * 0.05 + px) + 50 * std::cos(y * 0.07 + py);
            const int level = static_cast<int>(smooth) + noise(rng);
            map.at(x, y) = static_cast<float>(std::clamp(level, 0, 255));
        }
    }
    return map;
}

inline bool same_bits(float a, float b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Writes an image whose grey level is grey(x, y) (0..255) at `path`.
template <typename Grey>
inline bool save_grey_image(const QString &path, int width, int height, Grey grey)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int g = grey(x, y);
            image.setPixel(x, y, qRgb(g, g, g));
        }
    }
    return image.save(path);
}

inline QByteArray file_bytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool write_file(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}
