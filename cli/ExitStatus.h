#pragma once

#include "transfer/Outcome.h"

// What quillan-cli returns to its caller; scripts branch on these.
namespace ExitStatus {
inline constexpr int Completed = 0;
inline constexpr int Usage = 2;
inline constexpr int File = 3;
inline constexpr int Port = 4;
inline constexpr int Refused = 5;
inline constexpr int TimedOut = 6;
inline constexpr int Lost = 7;
inline constexpr int HungUp = 129;      // SIGHUP: the session or terminal closed
inline constexpr int Interrupted = 130; // SIGINT, SIGTERM

/// A Stopped outcome here came from a signal; run() tells SIGHUP apart.
inline int of(Outcome::Kind kind)
{
    switch (kind) {
    case Outcome::Kind::Completed: return Completed;
    case Outcome::Kind::Refused: return Refused;
    case Outcome::Kind::TimedOut: return TimedOut;
    case Outcome::Kind::Lost: return Lost;
    case Outcome::Kind::FileError: return File;
    case Outcome::Kind::PortError: return Port;
    case Outcome::Kind::Stopped: return Interrupted;
    }
    return Lost;
}
}
