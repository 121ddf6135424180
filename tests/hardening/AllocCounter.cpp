// Counts what malloc, calloc and realloc are asked for while counting is on,
// then hands the call to glibc's allocator. Defining them here puts them in
// front of glibc's for the whole process, Qt included.
#include "AllocCounter.h"

#include <atomic>
#include <cstddef>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *ptr, size_t size);
}

namespace {
std::atomic<bool> counting{false};
std::atomic<std::uint64_t> calls{0};
std::atomic<std::uint64_t> bytes{0};

inline void note(size_t size)
{
    if (counting.load(std::memory_order_relaxed)) {
        calls.fetch_add(1, std::memory_order_relaxed);
        bytes.fetch_add(size, std::memory_order_relaxed);
    }
}
} // namespace

extern "C" {
void *malloc(size_t size)
{
    note(size);
    return __libc_malloc(size);
}
void *calloc(size_t count, size_t size)
{
    note(count * size);
    return __libc_calloc(count, size);
}
void *realloc(void *ptr, size_t size)
{
    note(size);
    return __libc_realloc(ptr, size);
}
}

void AllocCounter::start()
{
    calls = 0;
    bytes = 0;
    counting = true;
}

AllocCounter::Totals AllocCounter::stop()
{
    counting = false;
    return {calls.load(), bytes.load()};
}
