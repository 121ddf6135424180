#pragma once

#include "Error.h"

class SerialPort;

/// Configures and opens the port of the given number with the link settings,
/// step by step; the first refused step ends it and its error is returned.
Error SetCommPort(SerialPort &port, int comPortNumber);
