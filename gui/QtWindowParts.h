#pragma once

#include "gui/WindowParts.h"

/// The real platform pieces of a transfer window.
WindowParts makeQtWindowParts();
