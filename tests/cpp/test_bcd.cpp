// The digit splitting behind the BCD encoders: its fixed-point reciprocals
// are exact only over the ranges it uses, which only an exhaustive run can
// show.  Every number below 10^8 is split and compared with the digits taken
// off one at a time; sixteen-digit numbers are sampled around every power of
// ten and at random.  Exits non-zero on any failure.
#include <cstdint>
#include <cstdio>

#include "codecs/encoder/bcd.hpp"
#include "check.hpp"

using namespace bitloom;

namespace {

// Digit i in slot i of `slot_bits` bits, one division at a time.
std::uint64_t digits_slowly(std::uint64_t value, unsigned slot_bits) {
    std::uint64_t pattern = 0;
    for (unsigned shift = 0; value != 0; shift += slot_bits, value /= 10) {
        pattern |= (value % 10) << shift;
    }
    return pattern;
}

std::uint64_t next_word(std::uint64_t& state) {  // splitmix64
    std::uint64_t z = (state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

void check_nibbles(std::uint64_t value) {
    if (decimal_digit_nibbles(value) != digits_slowly(value, 4) && ++failures <= 20) {
        std::printf("FAIL nibbles of %llu\n", static_cast<unsigned long long>(value));
    }
}

}  // namespace

int main() {
    for (std::uint32_t value = 0; value < 100000000; ++value) {
        if (decimal_digit_bytes(value) != digits_slowly(value, 8) && ++failures <= 20) {
            std::printf("FAIL bytes of %u\n", value);
        }
    }
    std::uint64_t power = 1;
    for (int exponent = 0; exponent <= 16; ++exponent, power *= 10) {
        for (std::uint64_t delta = 0; delta < 1000; ++delta) {
            if (delta < power) check_nibbles(power - 1 - delta);
            if (exponent < 16) check_nibbles(power + delta);
        }
    }
    std::uint64_t state = 13;
    for (int i = 0; i < 1000000; ++i) check_nibbles(next_word(state) % 10000000000000000u);
    CHECK(decimal_digit_nibbles(9999999999999999u) == 0x9999999999999999u);
    std::printf("test_bcd: %s\n", failures == 0 ? "ok" : "FAILED");
    return failures == 0 ? 0 : 1;
}
