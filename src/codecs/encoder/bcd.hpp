// Packed and unpacked (zoned) binary-coded decimal encoders.  Digit position
// 0 is the least significant decimal digit and sits at bit 0 (unsigned) or
// just above the sign nibble (signed packed).
//
// The packed encoder is defined here, inline, because a module call to it is
// a few nanoseconds of work wrapped around a result int: out of line, its
// call and its Result returned through memory were a visible share of that.
// Its refusals are built out of line (bcd.cpp).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "core/bits.hpp"
#include "core/codec_result.hpp"

namespace bitloom {

Result<std::uint64_t> encode_unpacked_bcd(std::int64_t value, std::uint32_t bits, bool is_signed);

// The decimal digits of `value` (below 10^8), digit i in byte i.
std::uint64_t decimal_digit_bytes(std::uint32_t value) noexcept;

namespace bcd_detail {

inline constexpr std::array<std::uint64_t, 17> kPowersOfTen = [] {
    std::array<std::uint64_t, 17> powers{};
    std::uint64_t power = 1;
    for (auto& entry : powers) {
        entry = power;
        power *= 10;
    }
    return powers;
}();

// The packed BCD form of every number below 1000: its three digits in the
// low three nibbles (2 KB, so it stays in the first-level cache of any loop
// that encodes).
inline constexpr std::array<std::uint16_t, 1000> kPackedTriples = [] {
    std::array<std::uint16_t, 1000> triples{};
    for (std::uint32_t n = 0; n < triples.size(); ++n) {
        triples[n] = static_cast<std::uint16_t>((n / 100) << 8 | (n / 10 % 10) << 4 | (n % 10));
    }
    return triples;
}();

// The eight digits of `value` (below 10^8) as packed nibbles.  The two
// quotients by 10^3 and 10^6 are taken from `value` side by side (each a
// multiply-high, neither waiting for the other), their differences are two
// three-digit groups and the top two digits, and the table turns each into
// its nibbles.
inline std::uint64_t eight_digit_nibbles(std::uint32_t value) noexcept {
    const std::uint32_t thousands = value / 1000;
    const std::uint32_t millions = value / 1000000;
    const std::uint32_t group0 = value - thousands * 1000;
    const std::uint32_t group1 = thousands - millions * 1000;
    return std::uint64_t{kPackedTriples[group0]} | std::uint64_t{kPackedTriples[group1]} << 12 |
           std::uint64_t{kPackedTriples[millions]} << 24;
}

// The error of a packed encoding that the fast checks of encode_packed_bcd
// refused, found by the checks in their documented order.
[[gnu::cold]] CodecError refuse_packed_bcd(std::int64_t value, std::uint32_t bits, bool is_signed);

}  // namespace bcd_detail

// The decimal digits of `value` (below 10^16), digit i in nibble i.
inline std::uint64_t decimal_digit_nibbles(std::uint64_t value) noexcept {
    if (value < 100000000) return bcd_detail::eight_digit_nibbles(static_cast<std::uint32_t>(value));
    const std::uint64_t high = value / 100000000;
    const auto low = static_cast<std::uint32_t>(value - high * 100000000);
    return (bcd_detail::eight_digit_nibbles(static_cast<std::uint32_t>(high)) << 32) |
           bcd_detail::eight_digit_nibbles(low);
}

// The pattern is one 64-bit word, so a field wider than 64 bits has digit
// positions that cannot be written: at most 16 digits unsigned, 15 above the
// sign nibble.  A value that needs a position beyond them is refused as having
// too many digits, rather than wrapping its digits onto low positions.
// The packed pattern of `value` when every check of the encoding passes, or
// false.  Callers whose result is a plain number take this case in line and
// leave the rest to encode_packed_bcd, which names the refusal.
[[gnu::always_inline]] inline bool packed_bcd_pattern(std::int64_t value, std::uint32_t bits,
                                                      bool is_signed, std::uint64_t& pattern) noexcept {
    // The width, the sign and the digit count in one test each.
    const std::uint32_t digits = std::min<std::uint32_t>(bits / 4 - std::uint32_t{is_signed},
                                                         is_signed ? 15 : 16);
    const std::uint64_t m = magnitude(value);
    if (bits < 4 || (value < 0 && !is_signed) || m >= bcd_detail::kPowersOfTen[digits]) {
        return false;
    }
    pattern = decimal_digit_nibbles(m);
    // Signed: nibble 0 is the sign, 0xC for positive and zero, 0xD for negative.
    if (is_signed) pattern = (pattern << 4) | (value < 0 ? 0xDu : 0xCu);
    return true;
}

inline Result<std::uint64_t> encode_packed_bcd(std::int64_t value, std::uint32_t bits,
                                               bool is_signed) {
    std::uint64_t pattern = 0;
    if (packed_bcd_pattern(value, bits, is_signed, pattern)) return pattern;
    // Any refusal is sorted out, in the order the checks are documented.
    return bcd_detail::refuse_packed_bcd(value, bits, is_signed);
}

}  // namespace bitloom
