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

// A per-thread variable of a trivial type, read on hot paths.  GCC and Clang
// on ELF systems: a plain `__thread` variable in the initial-exec model is
// one load from the thread pointer, with none of the wrapper calls that a
// C++ `thread_local` shared between translation units needs (the static TLS
// block that model takes has room for a few words in a loaded module).
// Elsewhere (Mach-O, PE) the platform's own form.
#if defined(_MSC_VER) && !defined(__clang__)
#define BITLOOM_THREAD_LOCAL __declspec(thread)
#elif defined(__ELF__)
#define BITLOOM_THREAD_LOCAL __thread __attribute__((tls_model("initial-exec")))
#else
#define BITLOOM_THREAD_LOCAL __thread
#endif

// A function only an error path calls: kept out of the hot code.
#if defined(_MSC_VER) && !defined(__clang__)
#define BITLOOM_COLD __declspec(noinline)
#else
#define BITLOOM_COLD __attribute__((cold))
#endif
