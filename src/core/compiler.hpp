// What the compilers we build with spell differently.  GCC and Clang are the
// compilers we test with; MSVC is provided for, untested here.
#pragma once

// Marks a point that control never reaches (C++23 has std::unreachable).
#if defined(_MSC_VER) && !defined(__clang__)
#define BITLOOM_UNREACHABLE() __assume(false)
#else
#define BITLOOM_UNREACHABLE() __builtin_unreachable()
#endif

// A small function of a hot loop that the compiler's size heuristics would
// keep out of line.
#if defined(_MSC_VER) && !defined(__clang__)
#define BITLOOM_ALWAYS_INLINE __forceinline
#else
#define BITLOOM_ALWAYS_INLINE inline __attribute__((always_inline))
#endif
