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

// How an outcome reads to a script: its exit status and its name in the log.
// A Stopped outcome here came from a signal; the runner tells SIGHUP apart.
struct Row
{
    Outcome::Kind kind;
    int status;
    const char *name;
};
inline constexpr Row Table[] = {
    {Outcome::Kind::Completed, Completed, "completed"}, {Outcome::Kind::Refused, Refused, "refused"},
    {Outcome::Kind::TimedOut, TimedOut, "timeout"},     {Outcome::Kind::Lost, Lost, "lost"},
    {Outcome::Kind::FileError, File, "file-error"},     {Outcome::Kind::PortError, Port, "port-error"},
    {Outcome::Kind::Stopped, Interrupted, "interrupted"},
};

inline const Row &of(Outcome::Kind kind)
{
    for (const Row &row : Table) {
        if (row.kind == kind)
            return row;
    }
    return Table[3]; // unreachable: every kind has its row
}
}
