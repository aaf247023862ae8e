// Room on the calling thread's C stack for one more call into the module.
//
// A hook that a conversion runs (an `__index__`, a `__bool__`, a str
// subclass's methods) may call the module again, and each such level holds
// the interpreter's frames for the hook and the module's own.  The
// interpreter's recursion count cannot tell how many levels fit: a level's
// size depends on the entry point and on the build (AddressSanitizer's padded
// frames take about twice a release build's), and some entries used more
// stack per level than the count allows for on an 8 MiB stack.  So every
// entry that may run Python code compares the stack pointer itself against a
// floor a margin above the end of the thread's stack, and raises
// RecursionError instead of running out.
#pragma once

#include <Python.h>

#include <cstdint>
#include <utility>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

#include "core/compiler.hpp"
#include "python/errors.hpp"

namespace bitloom {

// The floor, measured once per thread; until then the highest address, so
// that the first check takes the slow path and measures it.
extern BITLOOM_THREAD_LOCAL std::uintptr_t stack_floor;

// Measures the thread's stack (once) and checks `frame` against its floor:
// false with RecursionError "maximum recursion depth exceeded in {entry}".
BITLOOM_COLD bool check_stack_room_slow(std::uintptr_t frame, const char* entry);

// The stack pointer itself where it can be read: the frame address would
// make the caller keep a frame pointer, and the address of a local lies on
// AddressSanitizer's separate stack for such locals, not on the thread's.
// MSVC has no inline assembly on x64 or ARM64; the address of the caller's
// return address lies just above its frame.
BITLOOM_ALWAYS_INLINE std::uintptr_t stack_pointer() {
    std::uintptr_t pointer = 0;
#if defined(_MSC_VER) && !defined(__clang__)
    pointer = reinterpret_cast<std::uintptr_t>(_AddressOfReturnAddress());
#elif defined(__x86_64__)
    asm("mov %%rsp, %0" : "=r"(pointer));
#elif defined(__aarch64__)
    asm("mov %0, sp" : "=r"(pointer));
#else
    pointer = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
#endif
    return pointer;
}

// True while the stack has room; otherwise false with RecursionError set.
// `entry` names the function or method for the message ("pack_parameters").
BITLOOM_ALWAYS_INLINE bool stack_has_room(const char* entry) {
    const std::uintptr_t frame = stack_pointer();
    if (frame > stack_floor) [[likely]] return true;
    return check_stack_room_slow(frame, entry);
}

// An entry point's body, run inside the guard once the stack has room: the
// check comes first, since any conversion the body makes may run a hook that
// calls the module again.
template <class Body>
PyObject* guarded_entry(const char* entry, Body&& body) noexcept {
    if (!stack_has_room(entry)) return nullptr;
    return guard(std::forward<Body>(body));
}

}  // namespace bitloom
