#pragma once

#include <cstdint>

// Heap requests of the whole process (every thread) between start() and
// stop(): a countable stand-in for the copying work a transfer does.
namespace AllocCounter {
struct Totals
{
    std::uint64_t calls = 0;
    std::uint64_t bytes = 0;  // sizes asked for, a realloc counting its new size
};
/// False when no way to count is in place (then nothing is counted).
bool available();
void start();
Totals stop();
}
