#pragma once
// Building a ".ft1" database from a folder of images.

#include <QString>

#include <functional>

struct BuildOptions {
    // Called after each listed file, with the number of files done and listed.
    std::function<void(int done, int total)> progress;
    // Images decoded and turned into maps at the same time; 0: one per core. The file is the
    // same whatever the number.
    int threads = 0;
};

// Folder of the database files, relative to the working directory.
QString database_directory();
