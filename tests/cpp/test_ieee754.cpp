// The binary128 decoder on known patterns: it reads the pattern through the
// 128-bit type, so `make cpp-test` also runs it with BITLOOM_PORTABLE, where
// that type is two 64-bit words.  Exits non-zero on any failure.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "core/bits.hpp"
#include "codecs/decoder/ieee754.hpp"

using namespace bitloom;

namespace {

struct Case {
    std::uint64_t high;
    std::uint64_t low;
    std::uint64_t expected;  // binary64 bits
};

constexpr Case kCases[] = {
    {0x3FFF000000000000u, 0, 0x3FF0000000000000u},                    // 1.0
    {0xC000000000000000u, 0, 0xC000000000000000u},                    // -2.0
    {0x3FFF800000000000u, 0, 0x3FF8000000000000u},                    // 1.5
    // The low 60 fraction bits are dropped: truncation toward zero.
    {0x3FFF000000000000u, 0x0FFFFFFFFFFFFFFFu, 0x3FF0000000000000u},
    {0x3FFF000000000000u, 0x1000000000000000u, 0x3FF0000000000001u},
    {0x3FFFFFFFFFFFFFFFu, 0xFFFFFFFFFFFFFFFFu, 0x3FFFFFFFFFFFFFFFu},
    {0x7FFF000000000000u, 0, 0x7FF0000000000000u},                    // infinity
    {0xFFFF000000000000u, 0, 0xFFF0000000000000u},                    // -infinity
    {0x7FFF000000000000u, 1, 0x7FF8000000000000u},                    // NaN
    {0x0000000000000000u, 1, 0x0000000000000000u},                    // subnormal: 0
    {0x8000000000000000u, 0, 0x8000000000000000u},                    // -0.0
    {0x43FE000000000000u, 0, 0x7FE0000000000000u},                    // 2^1023
    {0x43FF000000000000u, 0, 0x7FF0000000000000u},                    // 2^1024: overflow
    {0x3C01000000000000u, 0, 0x0010000000000000u},                    // 2^-1022
    {0x3C00000000000000u, 0, 0x0000000000000000u},                    // 2^-1023: flushed
};

}  // namespace

int main() {
    int failures = 0;
    for (const Case& c : kCases) {
        const double got = decode_ieee754_f128(make_uint128(c.high, c.low));
        const auto bits = std::bit_cast<std::uint64_t>(got);
        if (bits != c.expected) {
            ++failures;
            std::printf("FAIL f128 %016llX %016llX: got %016llX, expected %016llX\n",
                        static_cast<unsigned long long>(c.high),
                        static_cast<unsigned long long>(c.low),
                        static_cast<unsigned long long>(bits),
                        static_cast<unsigned long long>(c.expected));
        }
    }
    if (failures != 0) {
        std::printf("ieee754: %d failures\n", failures);
        return 1;
    }
    return 0;
}
