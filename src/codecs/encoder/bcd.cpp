// Packed and unpacked (zoned) binary-coded decimal encoders.  Digit position
// 0, the least significant decimal digit, sits at the low end of the
// pattern: at bit 0, or at bit 4 above the sign nibble of signed packed
// BCD.  Digit i then occupies the 4-bit (packed) or 8-bit (unpacked) slot
// i above that.
//
// The pattern is one 64-bit word, so a field wider than 64 bits has digit
// positions that cannot be written.  Those positions are left out, and a
// value that needs one of them is refused as having too many digits, rather
// than wrapping its digits onto low positions (a shift by 64 or more is
// undefined, and reducing it modulo 64 corrupts the pattern).
#include "codecs/encoder/bcd.hpp"

#include <algorithm>

#include "core/bits.hpp"
#include "core/message.hpp"

namespace bitloom {

namespace {

struct DigitSlots {
    std::uint32_t first_bit;  // where digit 0 starts
    std::uint32_t slot_bits;  // 4 (packed) or 8 (unpacked)
    std::uint64_t zone;       // or'ed into every slot: 0xF0 for zoned digits
};

// Writes the decimal digits of |value| into `digit_count` slots, leading
// positions holding digit 0 (with its zone).  Only the slots that lie inside
// the 64-bit pattern count; if the value needs more, it has too many digits
// for them.
Result<std::uint64_t> lay_out_digits(std::int64_t value, std::uint32_t digit_count,
                                     DigitSlots slots) {
    const std::uint32_t slots_that_fit = (64 - slots.first_bit) / slots.slot_bits;
    const std::uint32_t count = std::min(digit_count, slots_that_fit);
    std::uint64_t rest = magnitude(value);
    std::uint64_t pattern = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        pattern |= ((rest % 10) | slots.zone) << (slots.first_bit + i * slots.slot_bits);
        rest /= 10;
    }
    if (rest != 0) {
        return make_error(ErrorKind::value_error, "Value {} has too many digits for {} BCD digits",
                          {value, count});
    }
    return pattern;
}

[[gnu::cold]] CodecError negative_in_unsigned() {
    return make_error(ErrorKind::value_error, "Cannot encode negative value in unsigned BCD");
}

}  // namespace

Result<std::uint64_t> encode_packed_bcd(std::int64_t value, std::uint32_t bits, bool is_signed) {
    if (bits < 4) return make_error(ErrorKind::value_error, "bits must be >= 4 for packed BCD");
    if (value < 0 && !is_signed) return negative_in_unsigned();
    if (!is_signed) return lay_out_digits(value, bits / 4, {0, 4, 0});

    // Signed: nibble 0 is the sign, 0xC for positive and zero, 0xD for
    // negative; the digits start above it.
    auto digits = lay_out_digits(value, bits / 4 - 1, {4, 4, 0});
    if (digits) digits.value() |= value < 0 ? 0xDu : 0xCu;
    return digits;
}

Result<std::uint64_t> encode_unpacked_bcd(std::int64_t value, std::uint32_t bits,
                                          bool is_signed) {
    if (bits < 8) return make_error(ErrorKind::value_error, "bits must be >= 8 for unpacked BCD");
    if (value < 0 && !is_signed) return negative_in_unsigned();
    if (!is_signed) return lay_out_digits(value, bits / 8, {0, 8, 0});

    // Zoned decimal: every digit byte carries the EBCDIC zone 0xF_, except
    // byte 0, whose zone is the sign (0xC_ positive or zero, 0xD_ negative).
    auto digits = lay_out_digits(value, bits / 8, {0, 8, 0xF0});
    if (digits) {
        digits.value() = (digits.value() & ~std::uint64_t{0xF0}) | (value < 0 ? 0xD0u : 0xC0u);
    }
    return digits;
}

}  // namespace bitloom
