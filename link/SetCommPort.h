#pragma once

#include "link/PortNames.h"
#include "platform/Error.h"

class SerialPort;

/// Configures and opens the port with the link settings, step by step; the
/// first refused step ends it and its error is returned.
Error SetCommPort(SerialPort &port, const PortTarget &target);

/// SetCommPort at the Start of a transfer. A port still open from an earlier
/// transfer is used as it is when it is the one asked for, and closed first
/// when the user has since chosen another.
Error openTransferPort(SerialPort &port, const PortTarget &target);
