#pragma once

#include "platform/Error.h"

/// The program's error number for a C errno value, with the system's text for it.
Error errorFromErrno(int code);

#ifdef _WIN32
/// The same for a Windows error code (GetLastError()): Qt opens files with the
/// Windows API, which leaves errno alone.
Error errorFromWindows(unsigned long code);
#endif
