#pragma once

#include "platform/Error.h"

/// The program's error number for a C errno value, with the system's text for it.
Error errorFromErrno(int code);
