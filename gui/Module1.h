#pragma once

#include "link/PortNames.h"

#include <QtGlobal>

// What all windows share: the COM port a transfer opens, 1 or 2 once the main
// window has loaded.
struct Module1
{
    qint16 ComPortNumber = 0;

    /// The port the next transfer opens: the COM port chosen, mapped to its device.
    PortTarget SetCommPort() const { return PortTarget::com(ComPortNumber); }
};
