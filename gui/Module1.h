#pragma once

#include <QtGlobal>

// The one value all windows share: the COM port a transfer opens, 1 or 2
// once the main window has loaded.
struct Module1
{
    qint16 ComPortNumber = 0;
};
