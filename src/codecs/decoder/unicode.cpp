// UTF-8, UTF-16 and UTF-32 decoders.
//
// UTF-8 is measured first by a branch-free pass that counts the bytes that
// are not continuation bytes (the code points, if the input is valid) and
// finds the largest byte (whose lead tells the widest code point).  The room
// is then reserved and one pass validates and writes together, so that the
// branches of mixed text are taken once.  Writing only ever follows a
// complete, valid sequence, whose lead is counted and no larger than the
// largest byte, so invalid input can neither overrun the room nor write a
// code point too wide for it.
//
// UTF-16 and UTF-32 are checked first and written after.  The checks run
// branch-free over blocks: UTF-16 tests four code units per 64-bit word
// (loaded through memcpy) for surrogates with SWAR arithmetic on the word's
// lanes, UTF-32 eight values per block.  Only a block that holds something
// unusual is walked unit by unit, which is also where the first error is
// located.  The width of the text comes from an OR of the units seen: the
// storage limits 0x7F, 0xFF and 0xFFFF are all one less than a power of two,
// so the OR stays below a limit exactly when every unit does.
#include "codecs/decoder/unicode.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/ascii.hpp"
#include "core/bits.hpp"
#include "core/message.hpp"

namespace bitloom {

CodecError no_room_error() { return make_error(ErrorKind::value_error, kNoRoomMessage); }

namespace {

constexpr bool is_surrogate(std::uint32_t unit) noexcept { return unit - 0xD800u < 0x800u; }
constexpr bool is_low_surrogate(std::uint32_t unit) noexcept { return unit - 0xDC00u < 0x400u; }
constexpr bool is_scalar_value(std::uint32_t value) noexcept {
    return value <= kUnicodeMax && !is_surrogate(value);
}
constexpr bool is_continuation(std::uint32_t byte) noexcept { return (byte & 0xC0) == 0x80; }

// Puts the bytes of a word in memory order, first byte lowest, on any machine.
inline std::uint64_t load_little_endian_word(const std::uint8_t* bytes) noexcept {
    const std::uint64_t word = load_word(bytes);
    if constexpr (std::endian::native == std::endian::big) return byte_swap64(word);
    return word;
}

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
constexpr std::uint32_t second_byte_min(std::uint32_t lead) noexcept {
    return lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
}
constexpr std::uint32_t second_byte_max(std::uint32_t lead) noexcept {
    return lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
}

struct Utf8Measure {
    std::size_t code_points;
    std::uint32_t max_code_point;
};

// What the text will be if the bytes are valid UTF-8.
Utf8Measure measure_utf8(std::span<const std::uint8_t> bytes) noexcept {
    // Counted in chunks of at most 255 bytes into a one-byte counter, which
    // lets the compiler count sixteen bytes per vector instruction.
    std::size_t continuation_bytes = 0;
    std::uint8_t largest = 0;
    for (std::size_t start = 0; start < bytes.size(); start += 255) {
        const std::size_t end = std::min(bytes.size(), start + 255);
        std::uint8_t chunk_count = 0;
        for (std::size_t i = start; i < end; ++i) {
            const std::uint8_t byte = bytes[i];
            chunk_count = static_cast<std::uint8_t>(chunk_count + ((byte & 0xC0) == 0x80));
            largest = std::max(largest, byte);
        }
        continuation_bytes += chunk_count;
    }
    // Leads C2..C3 give U+0080..U+00FF, up to EF the rest of the basic plane;
    // continuation bytes (up to BF) add nothing.
    const std::uint32_t max_code_point = largest < 0x80   ? kAsciiMax
                                         : largest < 0xC4 ? kLatin1Max
                                         : largest < 0xF0 ? kBasicPlaneMax
                                                          : kUnicodeMax;
    return {bytes.size() - continuation_bytes, max_code_point};
}

template <class Unit>
Status validate_and_write_utf8(std::span<const std::uint8_t> bytes, Unit* out) {
    const std::uint8_t* data = bytes.data();
    const std::size_t size = bytes.size();
    std::size_t i = 0;
    while (i < size) {
        const std::uint32_t lead = data[i];
        if (lead < 0x80) {
            const std::size_t run = ascii_run_length(data + i, size - i);
            if (run >= 16) {
                widen_bytes(data + i, run, out);
            } else {
                for (std::size_t k = 0; k < run; ++k) out[k] = data[i + k];
            }
            out += run;
            i += run;
            continue;
        }
        // Checked byte by byte, so that a sequence cut short by the end is
        // told apart from one with a wrong byte before it.
        if (lead < 0xE0) {
            if (lead < 0xC2) return utf8_invalid(1, i);
            if (i + 1 == size) return utf8_incomplete(i);
            const std::uint32_t second = data[i + 1];
            if (!is_continuation(second)) return utf8_invalid(1, i);
            *out++ = static_cast<Unit>(((lead & 0x1F) << 6) | (second & 0x3F));
            i += 2;
            continue;
        }
        if (lead > 0xF4) return utf8_invalid(1, i);
        if (i + 1 == size) return utf8_incomplete(i);
        const std::uint32_t second = data[i + 1];
        if (second < second_byte_min(lead) || second > second_byte_max(lead)) {
            return utf8_invalid(1, i);
        }
        if (i + 2 == size) return utf8_incomplete(i);
        const std::uint32_t third = data[i + 2];
        if (!is_continuation(third)) return utf8_invalid(2, i);
        if (lead < 0xF0) {
            *out++ = static_cast<Unit>(((lead & 0x0F) << 12) | ((second & 0x3F) << 6) |
                                       (third & 0x3F));
            i += 3;
            continue;
        }
        if (i + 3 == size) return utf8_incomplete(i);
        const std::uint32_t fourth = data[i + 3];
        if (!is_continuation(fourth)) return utf8_invalid(3, i);
        *out++ = static_cast<Unit>(((lead & 0x07) << 18) | ((second & 0x3F) << 12) |
                                   ((third & 0x3F) << 6) | (fourth & 0x3F));
        i += 4;
    }
    return Done{};
}

// ---- UTF-16 --------------------------------------------------------------

template <bool LittleEndian>
inline std::uint32_t read_unit16(const std::uint8_t* bytes) noexcept {
    std::uint16_t unit;
    std::memcpy(&unit, bytes, sizeof unit);
    if constexpr ((std::endian::native == std::endian::little) != LittleEndian) {
        unit = byte_swap16(unit);
    }
    return unit;
}

// Four code units from eight bytes, unit k in bits 16k .. 16k + 15.
template <bool LittleEndian>
inline std::uint64_t read_four_units16(const std::uint8_t* bytes) noexcept {
    std::uint64_t word = load_little_endian_word(bytes);
    if constexpr (!LittleEndian) {
        word = ((word & 0x00FF00FF00FF00FFu) << 8) | ((word >> 8) & 0x00FF00FF00FF00FFu);
    }
    return word;
}

// Non-zero when one of four 16-bit lanes is a surrogate: a lane of `marked`
// is zero exactly for a surrogate, and the usual zero-lane test finds it.
constexpr std::uint64_t surrogate_lanes(std::uint64_t units) noexcept {
    const std::uint64_t marked = (units & 0xF800F800F800F800u) ^ 0xD800D800D800D800u;
    return (marked - 0x0001000100010001u) & ~marked & 0x8000800080008000u;
}

[[gnu::cold]] CodecError utf16_lone_surrogate() {
    return make_error(ErrorKind::value_error,
                      "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found");
}

// The lanes of `units` (four code units, unit k in bits 16k .. 16k + 15)
// that come before the first surrogate, `lanes` being surrogate_lanes(units)
// and not zero.  The lowest flag of the zero-lane test is always exact (only
// flags above a true zero lane can be false), so the first surrogate is found
// by counting trailing zeros.
constexpr std::size_t units_before_surrogate(std::uint64_t lanes) noexcept {
    return static_cast<std::size_t>(std::countr_zero(lanes)) / 16;
}

template <bool LittleEndian, class Unit>
void write_utf16(std::span<const std::uint8_t> bytes, Unit* out) noexcept {
    const std::uint8_t* data = bytes.data();
    const std::size_t units = bytes.size() / 2;
    if constexpr (sizeof(Unit) == 1) {
        // Every unit is below 0x100: its low byte is the code point, so the
        // bytes are copied with a stride and no unit is assembled.
        constexpr std::size_t kLow = LittleEndian ? 0 : 1;
        for (std::size_t i = 0; i < units; ++i) out[i] = data[2 * i + kLow];
    } else if constexpr (sizeof(Unit) == 2) {
        // Text that fits two bytes per code point holds no surrogate pair.
        for (std::size_t i = 0; i < units; ++i) {
            out[i] = static_cast<Unit>(read_unit16<LittleEndian>(data + 2 * i));
        }
    } else {
        // The run of units up to the next surrogate, found four at a step, is
        // widened in a loop without tests (vectorised for little-endian
        // input); then the pair is joined.
        std::size_t i = 0;
        while (i < units) {
            std::size_t run_end = i;
            while (units - run_end >= 4) {
                const std::uint64_t lanes =
                    surrogate_lanes(read_four_units16<LittleEndian>(data + 2 * run_end));
                if (lanes != 0) {
                    run_end += units_before_surrogate(lanes);
                    break;
                }
                run_end += 4;
            }
            if (units - run_end < 4) {
                while (run_end < units &&
                       !is_surrogate(read_unit16<LittleEndian>(data + 2 * run_end))) {
                    ++run_end;
                }
            }
            for (std::size_t k = i; k < run_end; ++k) {
                *out++ = static_cast<Unit>(read_unit16<LittleEndian>(data + 2 * k));
            }
            i = run_end;
            if (i < units) {
                const std::uint32_t high = read_unit16<LittleEndian>(data + 2 * i);
                const std::uint32_t low = read_unit16<LittleEndian>(data + 2 * i + 2);
                *out++ = 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
    }
}

template <bool LittleEndian>
Status decode_utf16_in_order(std::span<const std::uint8_t> bytes, TextSink& sink) {
    constexpr std::size_t kBlock = 16;  // code units, four words
    const std::uint8_t* data = bytes.data();
    const std::size_t units = bytes.size() / 2;
    std::uint64_t seen = 0;  // OR of every unit outside a surrogate pair
    std::size_t pairs = 0;
    std::size_t i = 0;
    while (i < units) {
        const std::size_t block_end = std::min(units, i + kBlock);
        if (block_end - i == kBlock) {
            std::uint64_t block_seen = 0;
            std::uint64_t surrogates = 0;
            for (std::size_t word = 0; word < kBlock / 4; ++word) {
                const std::uint64_t four = read_four_units16<LittleEndian>(data + 2 * i + 8 * word);
                block_seen |= four;
                surrogates |= surrogate_lanes(four);
            }
            if (surrogates == 0) {
                seen |= block_seen;
                i = block_end;
                continue;
            }
        }
        // A block with a surrogate, or the tail: four units a step up to the
        // first surrogate, then unit by unit.  A pair that starts at the
        // block's last unit takes one unit of the next block.
        while (i < block_end) {
            if (units - i >= 4) {
                const std::uint64_t four = read_four_units16<LittleEndian>(data + 2 * i);
                const std::uint64_t lanes = surrogate_lanes(four);
                if (lanes == 0) {
                    seen |= four;
                    i += 4;
                    continue;
                }
                const std::size_t ordinary = units_before_surrogate(lanes);
                seen |= four & ((std::uint64_t{1} << (16 * ordinary)) - 1);
                i += ordinary;
            }
            const std::uint32_t unit = read_unit16<LittleEndian>(data + 2 * i);
            if (!is_surrogate(unit)) {
                seen |= unit;
                ++i;
                continue;
            }
            // A high surrogate must be followed by a low one; nothing else
            // may stand next to a surrogate.
            if (unit >= 0xDC00 || i + 1 == units ||
                !is_low_surrogate(read_unit16<LittleEndian>(data + 2 * i + 2))) {
                return utf16_lone_surrogate();
            }
            ++pairs;
            i += 2;
        }
    }
    const auto folded =
        static_cast<std::uint32_t>((seen | seen >> 16 | seen >> 32 | seen >> 48) & 0xFFFF);
    return write_into(sink, units - pairs, pairs != 0 ? kUnicodeMax : width_limit(folded),
                      [&](auto* out) -> Status {
                          write_utf16<LittleEndian>(bytes, out);
                          return Done{};
                      });
}

// ---- UTF-32 --------------------------------------------------------------

template <bool LittleEndian>
inline std::uint32_t read_unit32(const std::uint8_t* bytes) noexcept {
    std::uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    if constexpr ((std::endian::native == std::endian::little) != LittleEndian) {
        value = byte_swap32(value);
    }
    return value;
}

[[gnu::cold]] CodecError utf32_invalid(std::uint32_t value) {
    return make_error(ErrorKind::value_error, "Invalid UTF-32 codepoint: 0x{}", {to_hex(value, 8)});
}

template <bool LittleEndian, class Unit>
void write_utf32(std::span<const std::uint8_t> bytes, Unit* out) noexcept {
    const std::uint8_t* data = bytes.data();
    const std::size_t count = bytes.size() / 4;
    if constexpr (sizeof(Unit) == 1) {
        // Every value is below 0x100: its low byte is the code point, copied
        // with a stride instead of assembling the value.
        constexpr std::size_t kLow = LittleEndian ? 0 : 3;
        for (std::size_t i = 0; i < count; ++i) out[i] = data[4 * i + kLow];
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            out[i] = static_cast<Unit>(read_unit32<LittleEndian>(data + 4 * i));
        }
    }
}

template <bool LittleEndian>
Status decode_utf32_in_order(std::span<const std::uint8_t> bytes, TextSink& sink) {
    constexpr std::size_t kBlock = 8;
    const std::uint8_t* data = bytes.data();
    const std::size_t count = bytes.size() / 4;
    std::uint32_t seen = 0;
    std::size_t i = 0;
    for (; i + kBlock <= count; i += kBlock) {
        std::uint32_t block_seen = 0;
        std::uint32_t invalid = 0;
        for (std::size_t k = 0; k < kBlock; ++k) {
            const std::uint32_t value = read_unit32<LittleEndian>(data + 4 * (i + k));
            block_seen |= value;
            invalid |= static_cast<std::uint32_t>(!is_scalar_value(value));
        }
        if (invalid != 0) break;  // located below
        seen |= block_seen;
    }
    for (; i < count; ++i) {
        const std::uint32_t value = read_unit32<LittleEndian>(data + 4 * i);
        if (!is_scalar_value(value)) return utf32_invalid(value);
        seen |= value;
    }
    return write_into(sink, count, width_limit(seen), [&](auto* out) -> Status {
        write_utf32<LittleEndian>(bytes, out);
        return Done{};
    });
}

}  // namespace

Status decode_utf8(std::span<const std::uint8_t> bytes, TextSink& sink) {
    // The ASCII bytes at the start are skipped a block at a time, faster than
    // the measure pass counts them; only the rest is measured.
    const std::size_t ascii_prefix = ascii_run_length(bytes.data(), bytes.size());
    if (ascii_prefix == bytes.size()) {
        // Every byte is ASCII, and ASCII is valid UTF-8 byte for byte.
        return write_into(sink, bytes.size(), kAsciiMax, [&](auto* out) -> Status {
            widen_bytes(bytes.data(), bytes.size(), out);
            return Done{};
        });
    }
    Utf8Measure measure = measure_utf8(bytes.subspan(ascii_prefix));
    measure.code_points += ascii_prefix;
    return write_into(sink, measure.code_points, measure.max_code_point,
                      [&](auto* out) { return validate_and_write_utf8(bytes, out); });
}

Status decode_utf16(std::span<const std::uint8_t> bytes, TextSink& sink) {
    if (bytes.size() < 2 || bytes.size() % 2 != 0) {
        return make_error(ErrorKind::value_error,
                          "UTF-16 requires an even number of bytes with at least 2 bytes");
    }
    // One mark at most is removed; a second one is the character U+FEFF.
    if (bytes[0] == 0xFE && bytes[1] == 0xFF) {
        return decode_utf16_in_order<false>(bytes.subspan(2), sink);
    }
    if (bytes[0] == 0xFF && bytes[1] == 0xFE) {
        return decode_utf16_in_order<true>(bytes.subspan(2), sink);
    }
    return decode_utf16_in_order<false>(bytes, sink);
}

Status decode_utf16_with_endianness(std::span<const std::uint8_t> bytes, bool little_endian,
                                    TextSink& sink) {
    if (bytes.size() % 2 != 0) {
        return make_error(ErrorKind::value_error, "UTF-16 requires an even number of bytes");
    }
    return little_endian ? decode_utf16_in_order<true>(bytes, sink)
                         : decode_utf16_in_order<false>(bytes, sink);
}

Status decode_utf32(std::span<const std::uint8_t> bytes, TextSink& sink) {
    if (bytes.size() < 4 || bytes.size() % 4 != 0) {
        return make_error(ErrorKind::value_error,
                          "UTF-32 requires a multiple of 4 bytes with at least 4 bytes");
    }
    if (bytes[0] == 0xFF && bytes[1] == 0xFE && bytes[2] == 0x00 && bytes[3] == 0x00) {
        return decode_utf32_in_order<true>(bytes.subspan(4), sink);
    }
    if (bytes[0] == 0x00 && bytes[1] == 0x00 && bytes[2] == 0xFE && bytes[3] == 0xFF) {
        return decode_utf32_in_order<false>(bytes.subspan(4), sink);
    }
    return decode_utf32_in_order<false>(bytes, sink);
}

Status decode_utf32_with_endianness(std::span<const std::uint8_t> bytes, bool little_endian,
                                    TextSink& sink) {
    if (bytes.size() % 4 != 0) {
        return make_error(ErrorKind::value_error, "UTF-32 requires a multiple of 4 bytes");
    }
    return little_endian ? decode_utf32_in_order<true>(bytes, sink)
                         : decode_utf32_in_order<false>(bytes, sink);
}

}  // namespace bitloom
