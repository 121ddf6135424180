#pragma once

#include "platform/Error.h"

/// The kind of failure for a C errno value, with the system's text for it.
Error errorFromErrno(int code);

/// What errno says of the call that just failed (clear errno before it), or
/// fallbackKind with fallback (a Qt errorString()) when the call set none.
Error errnoOr(const QString &fallback, Error::Kind fallbackKind = Error::Kind::Io);

#ifdef _WIN32
/// The same for a Windows error code (GetLastError()): Qt opens files with the
/// Windows API, which leaves errno alone.
Error errorFromWindows(unsigned long code);
#endif
