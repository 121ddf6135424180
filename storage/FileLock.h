#pragma once

#include "platform/Error.h"

#include <QString>

#include <functional>

// An exclusive advisory lock on an open file, so that one transfer at a time
// writes a file: flock() on Linux, LockFileEx on Windows. The lock goes with
// the file's handle: closing the file lets it go.

/// Locks the open file fd without waiting. Fails with FileAlreadyOpen and a
/// reason naming the holder, where it can be found, when another open of the
/// file (in this process or another) holds it.
Error lockExclusive(int fd);

/// Locks the open file fd, waiting for it at most waitMs milliseconds: Busy
/// naming the holder when it is still held then, Cancelled when stopped()
/// turns true meanwhile.
Error lockExclusiveWithin(int fd, int waitMs, const std::function<bool()> &stopped);

/// Lets go of the lock taken on fd (closing the file does too).
void unlockFile(int fd);

/// Who holds a lock on the file open as fd: "quillan-cli (process 1234)",
/// "another transfer of this program", or empty when it cannot be told.
QString lockHolder(int fd);

/// Whether the open file fd is still the file at path (not renamed away or
/// replaced since it was opened).
bool sameFile(int fd, const QString &path);
