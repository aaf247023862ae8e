// The thread's stack bounds, from the platform's threads library, and the
// margin kept above their end for the interpreter's own work and for raising
// the error.
#include "python/stack_room.hpp"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <pthread.h>
#endif

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace bitloom {

constexpr std::uintptr_t kNotMeasured = UINTPTR_MAX;

BITLOOM_THREAD_LOCAL std::uintptr_t stack_floor = kNotMeasured;

namespace {

// A quarter of the stack, at most 256 KiB: far more than one level of
// re-entry takes in any build (about 5 KiB under AddressSanitizer), and
// enough for the interpreter to unwind and format the error.
constexpr std::size_t kLargestMargin = 256 * 1024;

// The lowest address of the calling thread's stack and its size, or false
// where the platform does not say.
bool stack_bounds(std::uintptr_t& lowest, std::size_t& size) {
#if defined(_WIN32)
    // The whole reserved stack, guard pages included (Windows 8 and later).
    ULONG_PTR low = 0;
    ULONG_PTR high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    lowest = static_cast<std::uintptr_t>(low);
    size = static_cast<std::size_t>(high - low);
    return true;
#elif defined(__APPLE__)
    // Darwin gives the stack's highest address.
    size = pthread_get_stacksize_np(pthread_self());
    lowest = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(pthread_self())) - size;
    return true;
#elif defined(__linux__)
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return false;
    void* address = nullptr;
    const int failed = pthread_attr_getstack(&attributes, &address, &size);
    pthread_attr_destroy(&attributes);
    lowest = reinterpret_cast<std::uintptr_t>(address);
    return failed == 0;
#else
    (void)lowest;
    (void)size;
    return false;
#endif
}

// 1 (every frame passes) where the bounds cannot be had: the interpreter's
// recursion count is then the only limit, as it is for its own builtins.
std::uintptr_t measure_stack_floor() {
    std::uintptr_t lowest = 0;
    std::size_t size = 0;
    if (!stack_bounds(lowest, size) || lowest == 0 || size == 0) return 1;
    return lowest + std::min(kLargestMargin, size / 4);
}

}  // namespace

bool check_stack_room_slow(std::uintptr_t frame, const char* entry) {
    if (stack_floor == kNotMeasured) {
        stack_floor = measure_stack_floor();
        if (frame > stack_floor) return true;
    }
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded in %s", entry);
    return false;
}

}  // namespace bitloom
