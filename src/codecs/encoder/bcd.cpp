// Packed and unpacked (zoned) binary-coded decimal encoders.  Digit position
// 0, the least significant decimal digit, sits at the low end of the
// pattern: at bit 0, or at bit 4 above the sign nibble of signed packed
// BCD.  Digit i then occupies the 4-bit (packed) or 8-bit (unpacked) slot
// i above that.
//
// The digits are not taken off one at a time.  Unpacked BCD splits a number
// below 10^8 into its two four-digit halves, then every half into its
// two-digit pairs and every pair into its two digits in the lanes of one
// 64-bit word, each split a multiplication by a fixed-point reciprocal and a
// shift that work on all lanes at once (no lane's product reaches the next
// lane).  Packed BCD (bcd.hpp, inline) takes the four two-digit pairs from
// quotients computed side by side and looks each pair's byte up in a table
// of 100, which is a shorter chain of dependent steps than squeezing the
// unpacked bytes.
//
// The pattern is one 64-bit word, so a field wider than 64 bits has digit
// positions that cannot be written.  Those positions are left out, and a
// value that needs one of them is refused as having too many digits, rather
// than wrapping its digits onto low positions (a shift by 64 or more is
// undefined, and reducing it modulo 64 corrupts the pattern).
#include "codecs/encoder/bcd.hpp"

#include <algorithm>
#include <array>

#include "core/bits.hpp"
#include "core/message.hpp"

namespace bitloom {

namespace {

// The low `count` bytes (count <= 8) of every byte lane set to `byte`.
constexpr std::uint64_t low_bytes(std::uint32_t count, std::uint64_t byte) noexcept {
    const std::uint64_t lanes = count >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * count)) - 1;
    return lanes & (byte * 0x0101010101010101u);
}

// Whether the magnitude `m` has more decimal digits than the `count` slots
// (at most 16) that the field has and the 64-bit pattern has room for.
constexpr bool has_too_many_digits(std::uint64_t m, std::uint32_t count) noexcept {
    return m >= bcd_detail::kPowersOfTen[count];
}

[[gnu::cold]] [[gnu::noinline]] CodecError too_many_digits(std::int64_t value,
                                                           std::uint32_t count) {
    return make_error(ErrorKind::value_error, "Value {} has too many digits for {} BCD digits",
                      {value, count});
}

[[gnu::cold]] CodecError negative_in_unsigned() {
    return make_error(ErrorKind::value_error, "Cannot encode negative value in unsigned BCD");
}

}  // namespace

std::uint64_t decimal_digit_bytes(std::uint32_t value) noexcept {
    // Two 32-bit lanes of four digits each, the low half in the low lane.
    const std::uint32_t high_half = value / 10000;
    std::uint64_t lanes = (std::uint64_t{high_half} << 32) | (value - high_half * 10000);
    // Each lane (below 10^4) split into hundreds and the rest: n / 100 is
    // n * 10486 >> 20 for every n below 10^4, and n * 10486 < 2^28 stays in
    // its lane.
    const std::uint64_t hundreds = ((lanes * 10486) >> 20) & 0x0000007F0000007Fu;
    lanes = (lanes - hundreds * 100) | (hundreds << 16);
    // Four 16-bit lanes below 100 each: n / 10 is n * 103 >> 10, n * 103 < 2^14.
    const std::uint64_t tens = ((lanes * 103) >> 10) & 0x000F000F000F000Fu;
    return (lanes - tens * 10) | (tens << 8);
}

CodecError bcd_detail::refuse_packed_bcd(std::int64_t value, std::uint32_t bits, bool is_signed) {
    if (bits < 4) return make_error(ErrorKind::value_error, "bits must be >= 4 for packed BCD");
    if (value < 0 && !is_signed) return negative_in_unsigned();
    // Signed fields give nibble 0 to the sign: at most 15 digits fit above it.
    const std::uint32_t count = is_signed ? std::min<std::uint32_t>(bits / 4 - 1, 15)
                                          : std::min<std::uint32_t>(bits / 4, 16);
    return too_many_digits(value, count);
}

Result<std::uint64_t> encode_unpacked_bcd(std::int64_t value, std::uint32_t bits,
                                          bool is_signed) {
    if (bits < 8) return make_error(ErrorKind::value_error, "bits must be >= 8 for unpacked BCD");
    if (value < 0 && !is_signed) return negative_in_unsigned();
    const std::uint64_t m = magnitude(value);
    const std::uint32_t count = std::min<std::uint32_t>(bits / 8, 8);
    if (has_too_many_digits(m, count)) return too_many_digits(value, count);
    const std::uint64_t digits = decimal_digit_bytes(static_cast<std::uint32_t>(m));
    if (!is_signed) return digits;
    // Zoned decimal: every digit byte of the field carries the EBCDIC zone
    // 0xF_, leading zeros included, except byte 0, whose zone is the sign
    // (0xC_ positive or zero, 0xD_ negative).
    const std::uint64_t zones = low_bytes(count, 0xF0);
    return ((digits | zones) & ~std::uint64_t{0xF0}) | (value < 0 ? 0xD0u : 0xC0u);
}

}  // namespace bitloom
