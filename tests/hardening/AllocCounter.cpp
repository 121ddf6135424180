// Counts what the heap is asked for while counting is on. In a plain build
// malloc, calloc and realloc defined here stand in front of glibc's for the
// whole process, Qt included, and hand each call on. Under AddressSanitizer,
// which owns those names, its allocator hooks do the counting instead.
#include "AllocCounter.h"

#include <atomic>
#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#define QUILLAN_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLAN_ASAN 1
#endif
#endif

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

#ifdef QUILLAN_ASAN
// Declared here: GCC ships the function in libasan but not its header.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void *, size_t),
                                                         void (*free_hook)(const volatile void *));

namespace {
void mallocHook(const volatile void *, size_t size)
{
    note(size);
}
void freeHook(const volatile void *) {}
const bool hooked = __sanitizer_install_malloc_and_free_hooks(mallocHook, freeHook) != 0;
} // namespace

bool AllocCounter::available()
{
    return hooked;
}
#else
extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *ptr, size_t size);

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

bool AllocCounter::available()
{
    return true;
}
#endif

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
