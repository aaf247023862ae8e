// A minimal check macro for the C++ tests: failures are printed and counted,
// and main returns their count (capped) so that make stops on any.
#pragma once

#include <cstdio>

namespace check {
inline int failures = 0;
inline int exit_code() { return failures == 0 ? 0 : 1; }
}  // namespace check

#define CHECK(condition)                                                             \
    do {                                                                             \
        if (!(condition)) {                                                          \
            if (++check::failures <= 20) {                                           \
                std::fprintf(stderr, "%s:%d: CHECK(%s) failed\n", __FILE__, __LINE__, \
                             #condition);                                            \
            }                                                                        \
        }                                                                            \
    } while (0)
