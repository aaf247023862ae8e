// Bit helpers: byte swapping, bit reversal and the 128-bit pattern type, in
// the build's own configuration.  `make cpp-test` also builds this file with
// BITLOOM_PORTABLE, which selects the fallbacks that compilers without
// __int128 or __builtin_bswap64 (MSVC) use.  Exits non-zero on any failure.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/bits.hpp"

using namespace bitloom;

namespace {

int failures = 0;

void check(bool ok, const char* what, std::uint64_t got, std::uint64_t expected) {
    if (!ok && ++failures <= 20) {
        std::printf("FAIL %s: got 0x%016llX, expected 0x%016llX\n", what,
                    static_cast<unsigned long long>(got), static_cast<unsigned long long>(expected));
    }
}

void expect(const char* what, std::uint64_t got, std::uint64_t expected) {
    check(got == expected, what, got, expected);
}

// Reverses the low `bits` bits one at a time: the definition, without tricks.
std::uint64_t reverse_slowly(std::uint64_t word, unsigned bits) {
    std::uint64_t reversed = 0;
    for (unsigned i = 0; i < bits; ++i) {
        if ((word >> i) & 1u) reversed |= std::uint64_t{1} << (bits - 1 - i);
    }
    return reversed;
}

// A fixed pseudo-random sequence (splitmix64).
std::uint64_t next_word(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

}  // namespace

int main() {
    static_assert(byte_swap64(0x0102030405060708u) == 0x0807060504030201u);
    static_assert(byte_swap64_portable(0x0102030405060708u) == 0x0807060504030201u);

    std::uint64_t state = 1;
    for (int round = 0; round < 100000; ++round) {
        const std::uint64_t word = next_word(state);
        expect("byte_swap64 against the portable form", byte_swap64(word),
               byte_swap64_portable(word));
        expect("byte_swap64 twice", byte_swap64(byte_swap64(word)), word);
        const unsigned bits = static_cast<unsigned>(round % 65);
        expect("reverse_low_bits", reverse_low_bits(word, bits),
               bits == 0 ? 0 : reverse_slowly(word, bits));
    }
    expect("reverse_low_bits above 64 bits", reverse_low_bits(1, 80), std::uint64_t{1} << 63);

    // The 16 native-order bytes of a Python int, as the argument conversion
    // copies them, read back as the two halves.
    state = 2;
    for (int round = 0; round < 1000; ++round) {
        const std::uint64_t high = next_word(state);
        const std::uint64_t low = next_word(state);
        unsigned char bytes[16];
        const bool little = std::endian::native == std::endian::little;
        for (int i = 0; i < 8; ++i) {
            const int shift = 8 * i;
            bytes[little ? i : 15 - i] = static_cast<unsigned char>(low >> shift);
            bytes[little ? 8 + i : 7 - i] = static_cast<unsigned char>(high >> shift);
        }
        uint128 pattern;
        std::memcpy(&pattern, bytes, sizeof pattern);
        expect("high_word of native bytes", high_word(pattern), high);
        expect("low_word of native bytes", low_word(pattern), low);
        const uint128 made = make_uint128(high, low);
        expect("make_uint128 high", high_word(made), high);
        expect("make_uint128 low", low_word(made), low);
    }

    if (failures != 0) {
        std::printf("bits: %d failures\n", failures);
        return 1;
    }
    return 0;
}
