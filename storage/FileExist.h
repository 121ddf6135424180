#pragma once

#include <QString>

/// True when the named file can be opened for reading.
bool FileExist(const QString &fileName);
