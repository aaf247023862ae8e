// The digit splitting behind the BCD encoders and the lane joining behind
// the packed decoder: their fixed-point reciprocals and lane products are
// exact only over the ranges they use, which only an exhaustive run can
// show.  Every number below 10^8 is split both ways and compared with the
// digits taken off one at a time; sixteen-digit numbers are sampled around
// every power of ten and at random, and every pattern is decoded back.
// Patterns with digits above 9 must report the lowest of them.  Exits
// non-zero on any failure.
#include <cstdint>
#include <cstdio>

#include "codecs/decoder/bcd.hpp"
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
    const std::uint64_t pattern = digits_slowly(value, 4);
    if (decimal_digit_nibbles(value) != pattern && ++failures <= 20) {
        std::printf("FAIL nibbles of %llu\n", static_cast<unsigned long long>(value));
    }
    const auto decoded = decode_packed_bcd(pattern, 64, false);
    if (!(decoded.ok() && decoded.value() == static_cast<std::int64_t>(value)) && ++failures <= 20) {
        std::printf("FAIL decoding %llx\n", static_cast<unsigned long long>(pattern));
    }
}

// The digit a decoder's "Invalid BCD digit" message names.
bool names_digit(const Result<std::int64_t>& result, unsigned digit) {
    char expected[48];
    std::snprintf(expected, sizeof expected, "Invalid BCD digit: %u (must be 0-9)", digit);
    return !result.ok() && result.error().message == expected;
}

}  // namespace

int main() {
    for (std::uint32_t value = 0; value < 100000000; ++value) {
        if (decimal_digit_bytes(value) != digits_slowly(value, 8) && ++failures <= 20) {
            std::printf("FAIL bytes of %u\n", value);
        }
        if (decimal_digit_nibbles(value) != digits_slowly(value, 4) && ++failures <= 20) {
            std::printf("FAIL nibbles of %u\n", value);
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

    // Every bad nibble value at every slot, under a higher bad one and
    // above good ones; signed patterns skip the sign nibble, and slots
    // beyond the field's width are not digits.
    for (unsigned bad = 10; bad <= 15; ++bad) {
        for (unsigned slot = 0; slot < 16; ++slot) {
            std::uint64_t pattern = 0x1234567890123456u & ~(std::uint64_t{0xF} << (4 * slot));
            pattern |= std::uint64_t{bad} << (4 * slot);
            if (slot < 15) pattern |= std::uint64_t{0xF} << 60;
            CHECK(names_digit(decode_packed_bcd(pattern, 64, false), bad));
            CHECK(decode_packed_bcd(pattern, 4 * slot, false).ok());
            if (slot > 0) {
                const std::uint64_t signed_pattern = (pattern & ~std::uint64_t{0xF}) | 0xC;
                CHECK(names_digit(decode_packed_bcd(signed_pattern, 64, true), bad));
            }
        }
    }
    CHECK(decode_packed_bcd(0x1234567D, 32, true).value() == -1234567);
    CHECK(decode_packed_bcd(0x9999999999999999u, 200, false).value() == 9999999999999999);
    std::printf("test_bcd: %s\n", failures == 0 ? "ok" : "FAILED");
    return failures == 0 ? 0 : 1;
}
