// Packed and unpacked (zoned) binary-coded decimal decoders.  Digit i sits in
// the 4-bit (packed) or 8-bit (unpacked) slot i from the low end, above the
// sign nibble in signed packed BCD.  Slots of a field wider than 64 bits that
// lie beyond bit 63 read as 0 (packed nibble 0, unpacked byte 0x00); slots
// are checked from the least significant up, so the lowest bad one decides
// the error.
#include "codecs/decoder/bcd.hpp"

#include "core/message.hpp"

namespace bitloom {

namespace {

// Slot `index` of `slot_bits` bits, counted from `first_bit`; 0 beyond bit 63.
constexpr std::uint32_t slot_at(std::uint64_t pattern, std::uint32_t first_bit,
                                std::uint32_t slot_bits, std::uint32_t index) noexcept {
    const std::uint64_t position = first_bit + std::uint64_t{index} * slot_bits;
    if (position >= 64) return 0;
    return static_cast<std::uint32_t>((pattern >> position) & ((1u << slot_bits) - 1));
}

// The number of slots, at most `digit_count`, that can hold a non-zero
// digit.  Every slot beyond bit 63 reads as the valid digit 0 in these forms,
// so the loops stop there instead of running up to a 2^32-bit width.
constexpr std::uint32_t slots_in_pattern(std::uint32_t digit_count, std::uint32_t first_bit,
                                         std::uint32_t slot_bits) noexcept {
    const std::uint32_t fit = (64 - first_bit) / slot_bits;
    return digit_count < fit ? digit_count : fit;
}

[[gnu::cold]] CodecError invalid_digit(std::uint32_t digit) {
    return make_error(ErrorKind::value_error, "Invalid BCD digit: {} (must be 0-9)", {digit});
}

// Plain digits, 0 .. 9 in each slot (packed nibbles, unsigned unpacked bytes).
// At most 16 digits, so the sum stays below 10^16.
Result<std::int64_t> sum_plain_digits(std::uint64_t pattern, std::uint32_t digit_count,
                                      std::uint32_t first_bit, std::uint32_t slot_bits) {
    const std::uint32_t count = slots_in_pattern(digit_count, first_bit, slot_bits);
    std::uint64_t sum = 0;
    std::uint64_t scale = 1;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t digit = slot_at(pattern, first_bit, slot_bits, i);
        if (digit > 9) return invalid_digit(digit);
        sum += digit * scale;
        scale *= 10;
    }
    return static_cast<std::int64_t>(sum);
}

constexpr bool is_decimal_digit(std::uint32_t nibble) noexcept { return nibble <= 9; }

// Whether a nibble of `nibbles` is above 9: one whose bit 3 is set together
// with bit 2 or bit 1.
constexpr bool has_nibble_above_nine(std::uint64_t nibbles) noexcept {
    return ((nibbles >> 3) & ((nibbles >> 2) | (nibbles >> 1)) & 0x1111111111111111u) != 0;
}

// The number whose decimal digits are the sixteen nibbles of `nibbles`
// (each 0 .. 9, nibble 0 the units).  Neighbouring lanes are joined in
// place: nibble pairs into bytes of 0 .. 99, byte pairs into 16-bit lanes of
// 0 .. 9999, those into 32-bit lanes below 10^8, and the two halves; no
// lane's product reaches the next lane.
constexpr std::uint64_t nibbles_to_binary(std::uint64_t nibbles) noexcept {
    std::uint64_t x = (nibbles & 0x0F0F0F0F0F0F0F0Fu) + ((nibbles >> 4) & 0x0F0F0F0F0F0F0F0Fu) * 10;
    x = (x & 0x00FF00FF00FF00FFu) + ((x >> 8) & 0x00FF00FF00FF00FFu) * 100;
    x = (x & 0x0000FFFF0000FFFFu) + ((x >> 16) & 0x0000FFFF0000FFFFu) * 10000;
    return (x & 0xFFFFFFFFu) + (x >> 32) * 100000000;
}

// Packed digits: the nibbles from `first_bit` (0, or 4 above a sign) up,
// all checked at once.  A bad one is looked for again slot by slot, so that
// the lowest decides the error.
Result<std::int64_t> sum_packed_digits(std::uint64_t pattern, std::uint32_t digit_count,
                                       std::uint32_t first_bit) {
    const std::uint32_t count = slots_in_pattern(digit_count, first_bit, 4);
    if (count == 0) return std::int64_t{0};
    const std::uint64_t mask = count >= 16 ? ~std::uint64_t{0} : (std::uint64_t{1} << (4 * count)) - 1;
    const std::uint64_t nibbles = (pattern >> first_bit) & mask;
    if (has_nibble_above_nine(nibbles)) return sum_plain_digits(pattern, digit_count, first_bit, 4);
    return static_cast<std::int64_t>(nibbles_to_binary(nibbles));
}

}  // namespace

Result<std::int64_t> decode_packed_bcd(std::uint64_t pattern, std::uint32_t bits,
                                       bool is_signed) {
    if (bits < 4) return std::int64_t{0};
    if (!is_signed) return sum_packed_digits(pattern, bits / 4, 0);

    // Signed: nibble 0 is the sign.  0xB and 0xD are negative; 0xA, 0xC,
    // 0xE and 0xF positive.  A negative zero reads as 0.
    const auto sign = static_cast<std::uint32_t>(pattern & 0xF);
    if (sign < 0xA) {
        return make_error(ErrorKind::value_error,
                          "Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD");
    }
    auto magnitude = sum_packed_digits(pattern, bits / 4 - 1, 4);
    if (magnitude && (sign == 0xB || sign == 0xD)) magnitude.value() = -magnitude.value();
    return magnitude;
}

Result<std::int64_t> decode_unpacked_bcd(std::uint64_t pattern, std::uint32_t bits,
                                         bool is_signed) {
    if (bits < 8) return std::int64_t{0};
    const std::uint32_t digit_count = bits / 8;
    if (!is_signed) return sum_plain_digits(pattern, digit_count, 0, 8);

    // Zoned decimal.  Byte 0 carries the sign in its zone: 0xC_, 0xF_ and the
    // ASCII 0x3_ positive, 0xD_ negative.  The other bytes carry the ASCII
    // (0x3_) or EBCDIC (0xF_) zone, mixed freely.  Unlike the plain forms, a
    // byte beyond bit 63 reads as 0x00, which is no zoned digit: a field wider
    // than 64 bits fails on byte 8 unless a lower byte fails first.
    const std::uint32_t sign_byte = slot_at(pattern, 0, 8, 0);
    const std::uint32_t sign_zone = sign_byte >> 4;
    if (!is_decimal_digit(sign_byte & 0xF) ||
        !(sign_zone == 0x3 || sign_zone == 0xC || sign_zone == 0xD || sign_zone == 0xF)) {
        return make_error(ErrorKind::value_error,
                          "Invalid zoned decimal signed byte: 0x{} (expected 0x30-0x39, "
                          "0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)",
                          {to_hex(sign_byte, 2)});
    }
    std::uint64_t sum = sign_byte & 0xF;
    std::uint64_t scale = 10;
    for (std::uint32_t i = 1; i < digit_count; ++i) {
        const std::uint32_t byte = slot_at(pattern, 0, 8, i);
        const std::uint32_t zone = byte >> 4;
        if (!is_decimal_digit(byte & 0xF) || !(zone == 0x3 || zone == 0xF)) {
            return make_error(ErrorKind::value_error,
                              "Invalid zoned decimal byte: 0x{} (expected ASCII 0x30-0x39 or "
                              "EBCDIC 0xF0-0xF9)",
                              {to_hex(byte, 2)});
        }
        // Reached only for bytes 1 .. 7: byte 8 reads as 0x00 and fails.
        sum += (byte & 0xF) * scale;
        scale *= 10;
    }
    const auto value = static_cast<std::int64_t>(sum);
    return sign_zone == 0xD ? -value : value;
}

}  // namespace bitloom
