#pragma once
// A working directory for the window's search commands: three textured images in database/,
// their database built with radius 10, and a window with h = 10 and scripted dialogs.

#include "matcher/image_matcher.h"
#include "test_support.h"
#include "window_support.h"

#include <QtTest>

#include <cmath>

// Images with a texture of their own; crops at multiples of the grid step match exactly.
inline int texture(int seed, int x, int y)
{
    return int(128 + 60 * std::sin(x * 0.07 * (seed + 1) + seed) +
               50 * std::cos(y * 0.05 * (seed + 2))) %
           256;
}

inline void save_texture(const QString &path, int seed, int width, int height, int x0 = 0,
                         int y0 = 0)
{
    save_grey_image(path, width, height,
                    [=](int x, int y) { return texture(seed, x + x0, y + y0); });
}

// A working directory with database/ (cat, dog, owl, as `suffix` files), a database of them
// built with radius 10, and a window whose h is 10.
struct Workspace {
    explicit Workspace(const QString &suffix = "png")
    {
        dir.mkpath("database");
        dir.mkpath("patterns");
        dir.mkpath("shots");
        const QStringList names = {"cat", "dog", "owl"};
        for (int k = 0; k < names.size(); ++k) {
            save_texture("database/" + names[k] + "." + suffix, k, 120, 100);
        }
        ConsoleCapture quiet;
        ImageMatcher builder(10, 1, ImageMatcher::Quiet{});
        builder.build_database("database", "three.ft1");
        window = std::make_unique<MainWindow>();
        DialogScript::install(*window, script);
        widget<QSpinBox>(*window, "spinBox_h")->setValue(10);
    }
    void open_database(const QString &path = "precomputed_databases/three.ft1")
    {
        ConsoleCapture quiet;
        script->files << path;
        run_command(*window, "read_database");
        QTRY_VERIFY(!window->job_running());
    }
    // Cuts a part of database/ image `file` (its decoded pixels) and saves it at `path`.
    static void save_crop(const QString &file, const QRect &part, const QString &path)
    {
        QVERIFY(QImage("database/" + file).copy(part).save(path));
    }
    bool has_picture(const char *name)
    {
        return !widget<QLabel>(*window, name)->pixmap(Qt::ReturnByValue).isNull();
    }

    ScopedWorkdir dir;
    std::shared_ptr<DialogScript> script = std::make_shared<DialogScript>();
    std::unique_ptr<MainWindow> window;
};
