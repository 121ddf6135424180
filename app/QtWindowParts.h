#pragma once

#include "WindowParts.h"

/// The real platform pieces of a transfer window.
WindowParts makeQtWindowParts();
