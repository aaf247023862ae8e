// The check of the C++ tests: a failed condition is reported with its place
// (the first 20 of them) and counted; main returns failures == 0 ? 0 : 1.
#pragma once

#include <cstdio>

inline int failures = 0;

#define CHECK(condition)                                                                   \
    do {                                                                                   \
        if (!(condition) && ++failures <= 20) {                                            \
            std::fprintf(stderr, "%s:%d: CHECK(%s) failed\n", __FILE__, __LINE__, #condition); \
        }                                                                                  \
    } while (0)
