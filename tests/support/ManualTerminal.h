#pragma once

#include "tools/SimTerminal.h"

/// A simulated terminal that says only what the test sends with sendRaw().
inline simterm::Options manualTerminal()
{
    simterm::Options o;
    o.manual = true;
    return o;
}
