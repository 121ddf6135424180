#pragma once

#include "cli/CliRequest.h"
#include "link/QtSerialPort.h"
#include "platform/Timer.h"
#include "transfer/RecordSink.h"
#include "transfer/Transfer.h"

#include <memory>

// What one port's transfer runs on, in its worker's thread: the port, the
// reply timer, the database when FILE names one, and the Transfer over them,
// declared last so that it goes first.
struct PortRig
{
    PortRig(Outcome::Direction direction, Transfer::Policy policy, int timeoutMs, const CliRequest::Store &store);

    QtSerialPort serial;
    QtTimer timer;
    std::unique_ptr<RecordSink> sink;  // empty: FILE is a file
    Transfer transfer;
};
