// IEEE 754 decoders: binary16 to binary32, and binary128 to binary64.
// binary32 and binary64 patterns are read by reinterpreting their bits and
// need no routine here.  Patterns are interchange bits, sign bit highest.
#include "codecs/decoder/ieee754.hpp"

#include <bit>

#include "core/binary16.hpp"

namespace bitloom {

float decode_ieee754_f16(std::uint64_t pattern) noexcept {
    // Bits 16 and up are not part of the field.
    const auto half = static_cast<std::uint16_t>(pattern & 0xFFFFu);
    return processor_has_f16c() ? binary16_to_float_f16c(half) : binary16_to_float_software(half);
}

double decode_ieee754_f128(uint128 pattern) noexcept {
    const std::uint64_t high = high_word(pattern);
    const std::uint64_t low = low_word(pattern);
    const std::uint64_t sign = high & 0x8000000000000000u;
    const std::uint64_t exponent = (high >> 48) & 0x7FFFu;
    const std::uint64_t high_fraction = high & 0xFFFFFFFFFFFFu;  // fraction bits 111..64

    const double zero = std::bit_cast<double>(sign);
    const double infinity = std::bit_cast<double>(sign | 0x7FF0000000000000u);

    // binary128 subnormals lie far below the binary64 range.
    if (exponent == 0) return zero;
    if (exponent == 0x7FFF) {
        if (high_fraction == 0 && low == 0) return infinity;
        // One canonical NaN: sign and payload are not carried over.
        return std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});
    }
    // Unbiased exponents above 1023 overflow; below -1022 are flushed to
    // zero rather than rounded to a binary64 subnormal.
    if (exponent > 16383 + 1023) return infinity;
    if (exponent < 16383 - 1022) return zero;

    // The top 52 of the 112 fraction bits; the other 60 are dropped, which
    // truncates toward zero.  With the exponent in the binary64 normal range
    // these fields form (1 + F / 2^52) * 2^(e - 16383) exactly, so the
    // result is assembled from its bits rather than computed.
    const std::uint64_t fraction = (high_fraction << 4) | (low >> 60);
    const std::uint64_t rebiased = exponent - 16383 + 1023;  // 1 .. 2046
    return std::bit_cast<double>(sign | (rebiased << 52) | fraction);
}

}  // namespace bitloom
