#pragma once
// File names that the system cannot represent. Qt leaves out of a folder's listing every name
// whose bytes are not valid in the locale's encoding (UTF-8); such files would vanish from a
// build silently. They are found here, to be named (with replacement characters).

#include <QString>
#include <QStringList>

// The names in `directory` that a listing leaves out, shown with replacement characters.
QStringList names_not_listed(const QString &directory);
