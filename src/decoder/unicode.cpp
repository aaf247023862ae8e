// UTF-8, UTF-16 and UTF-32 decoders: a checking pass and a writing pass.
//
// The checking passes skip the common case a block at a time: ASCII runs of
// UTF-8 eight bytes per step, UTF-16 four code units per 64-bit word with a
// SWAR test for surrogates, UTF-32 eight values per branch-free block.  Only
// a block that holds something unusual is walked unit by unit, which is also
// where the first error is located.  The width of the result comes from an OR
// of the code units seen: the storage limits 0x7F, 0xFF and 0xFFFF are all
// one less than a power of two, so the OR stays below a limit exactly when
// every unit does.
#include "decoder/unicode.hpp"

#include <algorithm>
#include <bit>

#include "common/ascii.hpp"
#include "common/bits.hpp"
#include "common/message.hpp"

namespace bitloom {

namespace {

constexpr bool is_surrogate(std::uint32_t unit) noexcept { return unit - 0xD800u < 0x800u; }
constexpr bool is_low_surrogate(std::uint32_t unit) noexcept { return unit - 0xDC00u < 0x400u; }
constexpr bool is_scalar_value(std::uint32_t value) noexcept {
    return value <= kUnicodeMax && !is_surrogate(value);
}
constexpr bool is_continuation(std::uint8_t byte) noexcept { return (byte & 0xC0) == 0x80; }

// ---- UTF-8 ---------------------------------------------------------------

// The position of the first ill-formed sequence, I, is given in every
// message.  A sequence cut short by the end of the input, with every byte so
// far acceptable, is "incomplete"; otherwise the message gives how many bytes
// were accepted before the offending one (at least 1: a bad lead byte or a
// bad second byte both count as a one-byte ill-formed sequence).
[[gnu::cold]] CodecError utf8_incomplete(std::size_t index) {
    return make_error(ErrorKind::value_error,
                      "Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index {}",
                      {static_cast<std::uint64_t>(index)});
}

[[gnu::cold]] CodecError utf8_invalid(int accepted, std::size_t index) {
    return make_error(ErrorKind::value_error,
                      "Invalid UTF-8 bytes: invalid utf-8 sequence of {} bytes from index {}",
                      {accepted, static_cast<std::uint64_t>(index)});
}

// The range allowed for the byte after a lead byte of 0xE0..0xF4: narrower
// than 0x80..0xBF after E0 and F0 (overlong forms), ED (surrogates) and F4
// (beyond U+10FFFF).
constexpr std::uint8_t second_byte_min(std::uint8_t lead) noexcept {
    return lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
}
constexpr std::uint8_t second_byte_max(std::uint8_t lead) noexcept {
    return lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
}

// ---- UTF-16 --------------------------------------------------------------

template <bool LittleEndian>
inline std::uint32_t read_unit16(const std::uint8_t* bytes) noexcept {
    return LittleEndian ? bytes[0] | (std::uint32_t{bytes[1]} << 8)
                        : (std::uint32_t{bytes[0]} << 8) | bytes[1];
}

// Four code units from eight bytes, unit k in bits 16k .. 16k + 15.
template <bool LittleEndian>
inline std::uint64_t read_four_units16(const std::uint8_t* bytes) noexcept {
    std::uint64_t word = load_word(bytes);
    if constexpr (std::endian::native == std::endian::big) word = byte_swap64(word);
    if constexpr (!LittleEndian) {
        word = ((word & 0x00FF00FF00FF00FFu) << 8) | ((word >> 8) & 0x00FF00FF00FF00FFu);
    }
    return word;
}

// Whether any of four 16-bit lanes is a surrogate: a lane of `marked` is zero
// exactly for a surrogate, and the usual zero-lane test finds one.
constexpr bool has_surrogate_lane(std::uint64_t units) noexcept {
    const std::uint64_t marked = (units & 0xF800F800F800F800u) ^ 0xD800D800D800D800u;
    return ((marked - 0x0001000100010001u) & ~marked & 0x8000800080008000u) != 0;
}

[[gnu::cold]] CodecError utf16_lone_surrogate() {
    return make_error(ErrorKind::value_error,
                      "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found");
}

template <bool LittleEndian>
Result<ValidatedText> check_utf16(std::span<const std::uint8_t> bytes) {
    const std::uint8_t* data = bytes.data();
    const std::size_t units = bytes.size() / 2;
    std::uint64_t seen = 0;  // OR of every unit outside a surrogate pair
    std::size_t pairs = 0;
    std::size_t i = 0;
    while (i < units) {
        if (i + 4 <= units) {
            const std::uint64_t block = read_four_units16<LittleEndian>(data + 2 * i);
            if (!has_surrogate_lane(block)) {
                seen |= block;
                i += 4;
                continue;
            }
        }
        const std::uint32_t unit = read_unit16<LittleEndian>(data + 2 * i);
        if (!is_surrogate(unit)) {
            seen |= unit;
            ++i;
            continue;
        }
        // A high surrogate must be followed by a low one; nothing else may
        // stand next to a surrogate.
        if (unit >= 0xDC00 || i + 1 == units ||
            !is_low_surrogate(read_unit16<LittleEndian>(data + 2 * i + 2))) {
            return utf16_lone_surrogate();
        }
        ++pairs;
        i += 2;
    }
    const auto folded = static_cast<std::uint32_t>((seen | seen >> 16 | seen >> 32 | seen >> 48) & 0xFFFF);
    return ValidatedText{LittleEndian ? SourceForm::utf16le : SourceForm::utf16be, bytes,
                         units - pairs, pairs != 0 ? kUnicodeMax : width_limit(folded)};
}

template <bool LittleEndian, class Unit>
void write_utf16_in_order(std::span<const std::uint8_t> bytes, Unit* out) noexcept {
    const std::uint8_t* data = bytes.data();
    const std::size_t units = bytes.size() / 2;
    if constexpr (sizeof(Unit) < 4) {
        // Text that fits two bytes per code point holds no surrogate pair.
        for (std::size_t i = 0; i < units; ++i) {
            out[i] = static_cast<Unit>(read_unit16<LittleEndian>(data + 2 * i));
        }
    } else {
        std::size_t i = 0;
        while (i < units) {
            const std::uint32_t unit = read_unit16<LittleEndian>(data + 2 * i);
            if (is_surrogate(unit)) {
                const std::uint32_t low = read_unit16<LittleEndian>(data + 2 * i + 2);
                *out++ = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            } else {
                *out++ = unit;
                ++i;
            }
        }
    }
}

// ---- UTF-32 --------------------------------------------------------------

template <bool LittleEndian>
inline std::uint32_t read_unit32(const std::uint8_t* bytes) noexcept {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        const int shift = LittleEndian ? 8 * i : 8 * (3 - i);
        value |= std::uint32_t{bytes[i]} << shift;
    }
    return value;
}

[[gnu::cold]] CodecError utf32_invalid(std::uint32_t value) {
    return make_error(ErrorKind::value_error, "Invalid UTF-32 codepoint: 0x{}", {to_hex(value, 8)});
}

template <bool LittleEndian>
Result<ValidatedText> check_utf32(std::span<const std::uint8_t> bytes) {
    constexpr std::size_t kBlock = 8;
    const std::uint8_t* data = bytes.data();
    const std::size_t count = bytes.size() / 4;
    std::uint32_t seen = 0;
    for (std::size_t start = 0; start < count; start += kBlock) {
        const std::size_t end = std::min(count, start + kBlock);
        std::uint32_t block_seen = 0;
        bool invalid = false;
        for (std::size_t i = start; i < end; ++i) {
            const std::uint32_t value = read_unit32<LittleEndian>(data + 4 * i);
            block_seen |= value;
            invalid |= !is_scalar_value(value);
        }
        if (invalid) {
            for (std::size_t i = start;; ++i) {
                const std::uint32_t value = read_unit32<LittleEndian>(data + 4 * i);
                if (!is_scalar_value(value)) return utf32_invalid(value);
            }
        }
        seen |= block_seen;
    }
    return ValidatedText{LittleEndian ? SourceForm::utf32le : SourceForm::utf32be, bytes, count,
                         width_limit(seen)};
}

template <bool LittleEndian, class Unit>
void write_utf32_in_order(std::span<const std::uint8_t> bytes, Unit* out) noexcept {
    const std::size_t count = bytes.size() / 4;
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = static_cast<Unit>(read_unit32<LittleEndian>(bytes.data() + 4 * i));
    }
}

}  // namespace

Result<ValidatedText> decode_utf8(std::span<const std::uint8_t> bytes) {
    const std::uint8_t* data = bytes.data();
    const std::size_t size = bytes.size();
    std::size_t i = 0;
    std::size_t code_points = 0;
    std::uint8_t max_lead = 0;
    while (i < size) {
        const std::uint8_t lead = data[i];
        if (lead < 0x80) {
            const std::size_t run = ascii_run_length(data + i, size - i);
            code_points += run;
            i += run;
            continue;
        }
        if (lead < 0xC2 || lead > 0xF4) return utf8_invalid(1, i);
        max_lead = std::max(max_lead, lead);
        const std::size_t length = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        // Check byte by byte, so that a sequence cut short is told apart from
        // one with a wrong byte before the end.
        const std::uint8_t low = length == 2 ? 0x80 : second_byte_min(lead);
        const std::uint8_t high = length == 2 ? 0xBF : second_byte_max(lead);
        if (i + 1 == size) return utf8_incomplete(i);
        if (data[i + 1] < low || data[i + 1] > high) return utf8_invalid(1, i);
        for (std::size_t k = 2; k < length; ++k) {
            if (i + k == size) return utf8_incomplete(i);
            if (!is_continuation(data[i + k])) return utf8_invalid(static_cast<int>(k), i);
        }
        i += length;
        ++code_points;
    }
    // Leads C2..C3 give U+0080..U+00FF, up to EF the rest of the basic plane.
    const std::uint32_t max_code_point = max_lead == 0     ? kAsciiMax
                                         : max_lead < 0xC4 ? kLatin1Max
                                         : max_lead < 0xF0 ? kBasicPlaneMax
                                                           : kUnicodeMax;
    return ValidatedText{SourceForm::utf8, bytes, code_points, max_code_point};
}

Result<ValidatedText> decode_utf16(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 2 || bytes.size() % 2 != 0) {
        return make_error(ErrorKind::value_error,
                          "UTF-16 requires an even number of bytes with at least 2 bytes");
    }
    // One mark at most is removed; a second one is the character U+FEFF.
    if (bytes[0] == 0xFE && bytes[1] == 0xFF) return check_utf16<false>(bytes.subspan(2));
    if (bytes[0] == 0xFF && bytes[1] == 0xFE) return check_utf16<true>(bytes.subspan(2));
    return check_utf16<false>(bytes);
}

Result<ValidatedText> decode_utf16_with_endianness(std::span<const std::uint8_t> bytes,
                                                   bool little_endian) {
    if (bytes.size() % 2 != 0) {
        return make_error(ErrorKind::value_error, "UTF-16 requires an even number of bytes");
    }
    return little_endian ? check_utf16<true>(bytes) : check_utf16<false>(bytes);
}

Result<ValidatedText> decode_utf32(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 4 || bytes.size() % 4 != 0) {
        return make_error(ErrorKind::value_error,
                          "UTF-32 requires a multiple of 4 bytes with at least 4 bytes");
    }
    if (bytes[0] == 0xFF && bytes[1] == 0xFE && bytes[2] == 0x00 && bytes[3] == 0x00) {
        return check_utf32<true>(bytes.subspan(4));
    }
    if (bytes[0] == 0x00 && bytes[1] == 0x00 && bytes[2] == 0xFE && bytes[3] == 0xFF) {
        return check_utf32<false>(bytes.subspan(4));
    }
    return check_utf32<false>(bytes);
}

Result<ValidatedText> decode_utf32_with_endianness(std::span<const std::uint8_t> bytes,
                                                   bool little_endian) {
    if (bytes.size() % 4 != 0) {
        return make_error(ErrorKind::value_error, "UTF-32 requires a multiple of 4 bytes");
    }
    return little_endian ? check_utf32<true>(bytes) : check_utf32<false>(bytes);
}

template <class Unit>
void write_utf8_code_points(std::span<const std::uint8_t> bytes, Unit* out) noexcept {
    const std::uint8_t* data = bytes.data();
    const std::size_t size = bytes.size();
    std::size_t i = 0;
    while (i < size) {
        const std::uint32_t lead = data[i];
        if (lead < 0x80) {
            const std::size_t run = ascii_run_length(data + i, size - i);
            widen_bytes(data + i, run, out);
            out += run;
            i += run;
        } else if (lead < 0xE0) {
            *out++ = static_cast<Unit>(((lead & 0x1F) << 6) | (data[i + 1] & 0x3Fu));
            i += 2;
        } else if (lead < 0xF0) {
            *out++ = static_cast<Unit>(((lead & 0x0F) << 12) | ((data[i + 1] & 0x3Fu) << 6) |
                                       (data[i + 2] & 0x3Fu));
            i += 3;
        } else {
            *out++ = static_cast<Unit>(((lead & 0x07) << 18) | ((data[i + 1] & 0x3Fu) << 12) |
                                       ((data[i + 2] & 0x3Fu) << 6) | (data[i + 3] & 0x3Fu));
            i += 4;
        }
    }
}

template <class Unit>
void write_utf16_code_points(std::span<const std::uint8_t> bytes, bool little_endian,
                             Unit* out) noexcept {
    if (little_endian) {
        write_utf16_in_order<true>(bytes, out);
    } else {
        write_utf16_in_order<false>(bytes, out);
    }
}

template <class Unit>
void write_utf32_code_points(std::span<const std::uint8_t> bytes, bool little_endian,
                             Unit* out) noexcept {
    if (little_endian) {
        write_utf32_in_order<true>(bytes, out);
    } else {
        write_utf32_in_order<false>(bytes, out);
    }
}

#define BITLOOM_INSTANTIATE_WRITERS(Unit)                                                       \
    template void write_utf8_code_points<Unit>(std::span<const std::uint8_t>, Unit*) noexcept; \
    template void write_utf16_code_points<Unit>(std::span<const std::uint8_t>, bool,           \
                                                Unit*) noexcept;                               \
    template void write_utf32_code_points<Unit>(std::span<const std::uint8_t>, bool,           \
                                                Unit*) noexcept;

BITLOOM_INSTANTIATE_WRITERS(std::uint8_t)
BITLOOM_INSTANTIATE_WRITERS(std::uint16_t)
BITLOOM_INSTANTIATE_WRITERS(std::uint32_t)

#undef BITLOOM_INSTANTIATE_WRITERS

}  // namespace bitloom
