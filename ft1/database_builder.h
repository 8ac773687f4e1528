#pragma once
// Building a ".ft1" database from a folder of images.

#include "maps/window_settings.h"

#include <QString>

#include <functional>

// What a build read.
struct BuildSummary {
    int images = 0;  // records written
    int skipped = 0; // files named with the reason they were left out
};

struct BuildOptions {
    // Called after each listed file, with the number of files done and listed.
    std::function<void(int done, int total)> progress;
    // Images decoded and turned into maps at the same time; 0: one per core. The file is the
    // same whatever the number.
    int threads = 0;
    BuildSummary *summary = nullptr; // filled in when given
};

// Folder of the database files, relative to the working directory.
QString database_directory();

// Writes the descriptor maps of the images of `directory` (in name order, case ignored) to
// database_directory() + file_name, then the elapsed milliseconds and a tab to the console;
// "cannot open file for writing database" when the file cannot be created. The file is written
// aside and replaces an existing database only once it is complete; a build that read no image
// leaves an existing database as it was and says so. Every file left out is named with its
// reason. True when it was written.
bool build_database(const WindowSettings &settings, const QString &directory,
                    const QString &file_name, const BuildOptions &options = BuildOptions());
