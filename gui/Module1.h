#pragma once

#include "link/PortNames.h"

#include <QtGlobal>

#include <functional>

// What all windows share: the COM port a transfer opens, 1 or 2 once the main
// window has loaded, and the device each port number means.
struct Module1
{
    qint16 ComPortNumber = 0;
    /// Tests wire a port number straight to a simulated terminal here.
    std::function<QString(int)> deviceForPort = deviceForComPort;

    /// The port the next transfer opens: the COM port chosen, mapped to its device.
    PortTarget SetCommPort() const { return {ComPortNumber, deviceForPort(ComPortNumber)}; }
};
