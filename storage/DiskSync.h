#pragma once

#include "platform/Error.h"

#include <QString>

/// Forces a file's written data to stable storage (fdatasync, or
/// FlushFileBuffers on Windows).
Error syncToDisk(int fd);

/// Makes a newly created file's directory entry durable (no-op on Windows,
/// whose file systems journal it with the file).
Error syncDirectoryOf(const QString &filePath);
