#pragma once
// Files this process has memory-mapped. Another program cutting one short while it is in use
// would end the process with a bus error and no word; instead the command ends with one line,
// "PROGRAM: PATH changed while in use", and exit status 1.

#include <QString>

#include <cstddef>

void remember_mapped_file(const void *begin, std::size_t size, const QString &path);
void forget_mapped_file(const void *begin);
