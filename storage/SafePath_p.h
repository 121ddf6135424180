#pragma once

// What SafePath.cpp shares with its platform halves, SafePath_unix.cpp and
// SafePath_win.cpp.

#include "storage/SafePath.h"

#include <QIODevice>
#include <QString>

namespace SafePathShared {
QString quoted(const QString &path);
/// The QFile open mode for how.
QIODevice::OpenMode openMode(SafePath::Open how);
/// Whether name is prefix and suffixLength more ASCII letters or digits: a
/// leftover of a killed run, and nothing a user would have named so.
bool isLeftover(const QString &name, const QString &prefix, int suffixLength);
}
