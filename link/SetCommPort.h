#pragma once

#include "platform/Error.h"

class SerialPort;

/// Configures and opens the port of the given number with the link settings,
/// step by step; the first refused step ends it and its error is returned.
Error SetCommPort(SerialPort &port, int comPortNumber);

/// SetCommPort at the Start of a transfer. A port still open from an earlier
/// transfer refuses the new settings and is used as it is, so only a port
/// that is left closed counts as a failure.
Error openTransferPort(SerialPort &port, int comPortNumber);
