// The thread's stack bounds, from the threads library, and the margin kept
// above their end for the interpreter's own work and for raising the error.
#include "python/stack_room.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace bitloom {

constexpr std::uintptr_t kNotMeasured = UINTPTR_MAX;

__thread std::uintptr_t stack_floor __attribute__((tls_model("initial-exec"))) = kNotMeasured;

namespace {

// A quarter of the stack, at most 256 KiB: far more than one level of
// re-entry takes in any build (about 5 KiB under AddressSanitizer), and
// enough for the interpreter to unwind and format the error.
constexpr std::size_t kLargestMargin = 256 * 1024;

// 1 (every frame passes) where the bounds cannot be had: the interpreter's
// recursion count is then the only limit, as it is for its own builtins.
std::uintptr_t measure_stack_floor() {
    std::uintptr_t lowest = 0;
    std::size_t size = 0;
#if defined(__APPLE__)
    // Darwin gives the stack's highest address.
    size = pthread_get_stacksize_np(pthread_self());
    lowest = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(pthread_self())) - size;
#elif defined(__linux__)
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return 1;
    void* address = nullptr;
    const int failed = pthread_attr_getstack(&attributes, &address, &size);
    pthread_attr_destroy(&attributes);
    if (failed != 0) return 1;
    lowest = reinterpret_cast<std::uintptr_t>(address);
#endif
    if (lowest == 0 || size == 0) return 1;
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
