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
// UTF-16 and UTF-32 are checked and written in one pass over blocks, the
// width of the room growing when a wider code point appears (see "writing as
// validating" below).  A block is tested branch-free: UTF-16 four code units
// per 64-bit word (loaded through memcpy) with SWAR arithmetic on the word's
// lanes, for surrogates and for bits above the room's limit (the limits 0x7F,
// 0xFF and 0xFFFF are all one less than a power of two); UTF-32 sixteen
// values per block.  Only a block that holds something unusual is walked
// unit by unit, which is also where the first error is located.
#include "codecs/decoder/unicode.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>

#include "core/ascii.hpp"
#include "core/bits.hpp"
#include "core/message.hpp"
#include "core/simd.hpp"

namespace bitloom {

CodecError no_room_error() { return make_error(ErrorKind::value_error, kNoRoomMessage); }

namespace {
template <class From, class To>
void copy_units(const void* from, std::size_t count, void* to) noexcept {
    const auto* source = static_cast<const From*>(from);
    auto* target = static_cast<To*>(to);
    for (std::size_t i = 0; i < count; ++i) target[i] = source[i];
}
}  // namespace

void copy_widened(const void* from, std::size_t from_size, std::size_t count, void* to,
                  std::size_t to_size) noexcept {
    if (count == 0) return;
    if (from_size == to_size) {
        std::memcpy(to, from, count * from_size);
    } else if (from_size == 1) {
        to_size == 2 ? copy_units<std::uint8_t, std::uint16_t>(from, count, to)
                     : copy_units<std::uint8_t, std::uint32_t>(from, count, to);
    } else {
        copy_units<std::uint16_t, std::uint32_t>(from, count, to);
    }
}

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

// ---- writing as validating ------------------------------------------------

// UTF-16 and UTF-32 are written as they are checked.  The room is first asked
// for in the width that the first kLookahead units need; a run then writes
// until the end, an invalid unit or a code point too wide for the room, and
// the room is widened (its text so far copied over) only when a wider code
// point does appear.  Most text shows its widest characters early, so the
// room is usually right from the start.
constexpr std::size_t kLookahead = 64;

// Where a run stopped: at the end, or at the unit (and output position) that
// needs a wider room or is invalid.
struct RunEnd {
    std::size_t unit;
    std::size_t written;
};

template <class Unit>
constexpr std::uint32_t room_limit(std::uint32_t limit) noexcept {
    if constexpr (sizeof(Unit) == 1) return limit;  // kAsciiMax or kLatin1Max
    if constexpr (sizeof(Unit) == 2) return kBasicPlaneMax;
    return kUnicodeMax;
}

template <class Run>
Status dispatch_run(const TextSink::Room& room, Run&& run, RunEnd& end) {
    switch (room.unit_size) {
        case 1: end = run(static_cast<std::uint8_t*>(room.data)); break;
        case 2: end = run(static_cast<std::uint16_t*>(room.data)); break;
        default: end = run(static_cast<std::uint32_t*>(room.data)); break;
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

// The lanes of `units` that come before the first surrogate, `lanes` being
// surrogate_lanes(units) and not zero.  The lowest flag of the zero-lane test
// is always exact (only flags above a true zero lane can be false), so the
// first surrogate is found by counting trailing zeros.
constexpr std::size_t units_before_surrogate(std::uint64_t lanes) noexcept {
    return static_cast<std::size_t>(std::countr_zero(lanes)) / 16;
}

[[gnu::cold]] CodecError utf16_lone_surrogate() {
    return make_error(ErrorKind::value_error,
                      "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found");
}

// The high surrogates among `units` code units: the length of four-byte text
// is the unit count less the pairs.  Counted from the byte that holds a
// unit's top bits, in chunks of 255 into a one-byte counter that the compiler
// can vectorise.  Lone high surrogates are counted too; the text then fails
// before it is longer than the count allows.
template <bool LittleEndian>
std::size_t count_high_surrogates(const std::uint8_t* data, std::size_t units) noexcept {
    constexpr std::size_t kHigh = LittleEndian ? 1 : 0;
    std::size_t count = 0;
    for (std::size_t start = 0; start < units; start += 255) {
        const std::size_t end = std::min(units, start + 255);
        std::uint8_t chunk_count = 0;
        for (std::size_t i = start; i < end; ++i) {
            chunk_count = static_cast<std::uint8_t>(chunk_count +
                                                    ((data[2 * i + kHigh] & 0xFC) == 0xD8));
        }
        count += chunk_count;
    }
    return count;
}

// Writes units from `i` on into a room of one or two bytes per code point,
// whose limit is `limit`, until one is a surrogate or above the limit; no
// pair can be written in such a room, so output and input positions agree.
template <bool LittleEndian, class Unit>
std::size_t write_utf16_narrow(const std::uint8_t* data, std::size_t i, std::size_t units,
                               Unit* out, std::uint32_t limit) noexcept {
    constexpr std::size_t kBlock = 16;
    // A lane is refused when it has a bit above the limit (all limits are
    // one less than a power of two) or, in a two-byte room, is a surrogate.
    const std::uint64_t above = (~std::uint64_t{limit} & 0xFFFF) * 0x0001000100010001u;
    for (; units - i >= kBlock; i += kBlock) {
        std::uint64_t refused = 0;
        for (std::size_t word = 0; word < kBlock / 4; ++word) {
            const std::uint64_t four = read_four_units16<LittleEndian>(data + 2 * i + 8 * word);
            refused |= sizeof(Unit) == 1 ? four & above : (four & above) | surrogate_lanes(four);
        }
        if (refused != 0) break;
        if constexpr (sizeof(Unit) == 1) {
            // The low byte of every unit is its code point.
            constexpr std::size_t kLow = LittleEndian ? 0 : 1;
            for (std::size_t k = 0; k < kBlock; ++k) out[i + k] = data[2 * (i + k) + kLow];
        } else {
            for (std::size_t k = 0; k < kBlock; ++k) {
                out[i + k] = static_cast<Unit>(read_unit16<LittleEndian>(data + 2 * (i + k)));
            }
        }
    }
    for (; i < units; ++i) {
        const std::uint32_t unit = read_unit16<LittleEndian>(data + 2 * i);
        if (unit > limit || is_surrogate(unit)) break;
        out[i] = static_cast<Unit>(unit);
    }
    return i;
}

// Writes units from `i` on into a room of four bytes per code point, joining
// pairs, until the end, a lone surrogate or, while the room was asked for
// narrower text (`limit`), a pair or a unit above the limit.  The run up to the next surrogate,
// found four units a step, is widened in a loop without tests.
template <bool LittleEndian>
RunEnd write_utf16_wide(const std::uint8_t* data, std::size_t i, std::size_t units,
                        std::uint32_t* out, std::size_t written,
                        std::uint32_t limit) noexcept {
    if (limit != kUnicodeMax) {
        const std::size_t stop = write_utf16_narrow<LittleEndian>(data, i, units, out, limit);
        return {stop, stop};
    }
    out += written;
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
            while (run_end < units && !is_surrogate(read_unit16<LittleEndian>(data + 2 * run_end))) {
                ++run_end;
            }
        }
        for (std::size_t k = i; k < run_end; ++k) *out++ = read_unit16<LittleEndian>(data + 2 * k);
        written += run_end - i;
        i = run_end;
        if (i == units) break;
        // A high surrogate must be followed by a low one; nothing else may
        // stand next to a surrogate.
        const std::uint32_t high = read_unit16<LittleEndian>(data + 2 * i);
        if (high >= 0xDC00 || i + 1 == units) break;
        const std::uint32_t low = read_unit16<LittleEndian>(data + 2 * i + 2);
        if (!is_low_surrogate(low)) break;
        *out++ = 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
        ++written;
        i += 2;
    }
    return {i, written};
}

template <bool LittleEndian>
Status decode_utf16_in_order(std::span<const std::uint8_t> bytes, TextSink& sink) {
    const std::uint8_t* data = bytes.data();
    const std::size_t units = bytes.size() / 2;
    // The width of the first units, or four bytes if they hold a surrogate
    // (a pair, or an error to come).
    std::uint32_t limit = kAsciiMax;
    for (std::size_t i = 0; i < std::min(units, kLookahead); ++i) {
        const std::uint32_t unit = read_unit16<LittleEndian>(data + 2 * i);
        limit = std::max(limit, is_surrogate(unit) ? kUnicodeMax : width_limit(unit));
    }
    TextSink::Room room;
    const std::size_t length =
        limit == kUnicodeMax ? units - count_high_surrogates<LittleEndian>(data, units) : units;
    if (!sink.reserve(length, limit, room)) return no_room_error();
    RunEnd end{0, 0};
    for (;;) {
        (void)dispatch_run(room, [&](auto* out) -> RunEnd {
            using Unit = std::remove_pointer_t<decltype(out)>;
            if constexpr (sizeof(Unit) == 4) {
                return write_utf16_wide<LittleEndian>(data, end.unit, units, out, end.written,
                                                      limit);
            } else {
                const std::size_t stop =
                    write_utf16_narrow<LittleEndian>(data, end.unit, units, out, limit);
                return {stop, stop};
            }
        }, end);
        if (end.unit == units) return Done{};
        const std::uint32_t unit = read_unit16<LittleEndian>(data + 2 * end.unit);
        std::size_t wider_length = units;
        if (!is_surrogate(unit)) {
            limit = width_limit(unit);
        } else if (limit == kUnicodeMax || unit >= 0xDC00 || end.unit + 1 == units ||
                   !is_low_surrogate(read_unit16<LittleEndian>(data + 2 * end.unit + 2))) {
            return utf16_lone_surrogate();
        } else {
            limit = kUnicodeMax;
            wider_length = end.written + (units - end.unit) -
                           count_high_surrogates<LittleEndian>(data + 2 * end.unit,
                                                               units - end.unit);
        }
        if (!sink.widen(end.written, wider_length, limit, room)) return no_room_error();
    }
}

// ---- UTF-32 --------------------------------------------------------------

template <bool LittleEndian>
inline std::uint32_t read_unit32(const std::uint8_t* bytes) noexcept {
    std::uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    if constexpr (std::endian::native == std::endian::little && !LittleEndian) {
        // Written out rather than as the byte-swap builtin, which the
        // compiler vectorises only with byte shuffles that baseline x86-64
        // lacks; shifts and masks vectorise everywhere.
        value = (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) |
                (value << 24);
    } else if constexpr ((std::endian::native == std::endian::little) != LittleEndian) {
        value = byte_swap32(value);
    }
    return value;
}

[[gnu::cold]] CodecError utf32_invalid(std::uint32_t value) {
    return make_error(ErrorKind::value_error, "Invalid UTF-32 codepoint: 0x{}", {to_hex(value, 8)});
}

// Whether a room with the limit `limit` refuses `value`: too wide for it, a
// surrogate, or beyond Unicode (which every limit is below or at).
constexpr bool refused_by(std::uint32_t value, std::uint32_t limit) noexcept {
    return value > limit || is_surrogate(value);
}

// The 32-bit word as loaded in native order whose bits are the bits of a
// unit's value under `value_mask`: byte-swapped when the unit's order is not
// native.
template <bool LittleEndian>
constexpr std::uint32_t mask_in_load_order(std::uint32_t value_mask) noexcept {
    if constexpr ((std::endian::native == std::endian::little) != LittleEndian) {
        return byte_swap32(value_mask);
    }
    return value_mask;
}

// One-byte rooms (limit 0x7F or 0xFF, one less than a power of two, and no
// surrogate below either): a unit is refused exactly when a bit above the
// limit is set, which is tested on the word as loaded, and its value is one
// byte of that word, so no unit is byte-swapped.
template <bool LittleEndian>
std::size_t write_utf32_bytes(const std::uint8_t* data, std::size_t i, std::size_t count,
                              std::uint8_t* out, std::uint32_t limit) noexcept {
    constexpr unsigned kValueShift =
        (std::endian::native == std::endian::little) == LittleEndian ? 0 : 24;
    const std::uint32_t refused_bits = limit == kAsciiMax ? mask_in_load_order<LittleEndian>(~kAsciiMax)
                                                          : mask_in_load_order<LittleEndian>(~kLatin1Max);
    constexpr std::size_t kBlock = 16;
    for (; count - i >= kBlock; i += kBlock) {
        std::uint32_t words[kBlock];
        std::memcpy(words, data + 4 * i, sizeof words);
        std::uint32_t refused = 0;
        for (std::size_t k = 0; k < kBlock; ++k) refused |= words[k] & refused_bits;
        if (refused != 0) break;
        for (std::size_t k = 0; k < kBlock; ++k) {
            out[i + k] = static_cast<std::uint8_t>(words[k] >> kValueShift);
        }
    }
    for (; i < count; ++i) {
        const std::uint32_t value = read_unit32<LittleEndian>(data + 4 * i);
        if (refused_by(value, limit)) break;
        out[i] = static_cast<std::uint8_t>(value);
    }
    return i;
}

// Writes values from `i` on until the end or one that the room refuses.
template <bool LittleEndian, class Unit>
std::size_t write_utf32_run(const std::uint8_t* data, std::size_t i, std::size_t count, Unit* out,
                            std::uint32_t limit) noexcept {
    if constexpr (sizeof(Unit) == 1) {
        return write_utf32_bytes<LittleEndian>(data, i, count, out, limit);
    }
#if BITLOOM_SSE2
    if constexpr (sizeof(Unit) == 4) {
        // Into four-byte storage, four units are checked and stored per step
        // (in the other byte order swapped first: the compiler would make
        // that one bswap per unit and check each unit on its own).  A unit is
        // refused when it is above `limit` (compared as unsigned: both sides
        // offset by 2^31) or a surrogate.
        constexpr bool swapped = LittleEndian != (std::endian::native == std::endian::little);
        const __m128i offset = _mm_set1_epi32(INT32_MIN);
        const __m128i above = _mm_set1_epi32(static_cast<int>(limit ^ 0x80000000u));
        const __m128i surrogate_mask = _mm_set1_epi32(static_cast<int>(0xFFFFF800u));
        const __m128i surrogates = _mm_set1_epi32(0xD800);
        for (; count - i >= 4; i += 4) {
            __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 4 * i));
            if constexpr (swapped) units = byte_swap_lanes32(units);
            const __m128i refused = _mm_or_si128(
                _mm_cmpgt_epi32(_mm_xor_si128(units, offset), above),
                _mm_cmpeq_epi32(_mm_and_si128(units, surrogate_mask), surrogates));
            if (_mm_movemask_epi8(refused) != 0) break;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), units);
        }
    }
#endif
    constexpr std::size_t kBlock = 16;
    for (; count - i >= kBlock; i += kBlock) {
        std::uint32_t values[kBlock];
        std::uint32_t refused = 0;
        for (std::size_t k = 0; k < kBlock; ++k) {
            values[k] = read_unit32<LittleEndian>(data + 4 * (i + k));
            refused |= static_cast<std::uint32_t>(refused_by(values[k], limit));
        }
        if (refused != 0) break;
        for (std::size_t k = 0; k < kBlock; ++k) out[i + k] = static_cast<Unit>(values[k]);
    }
    for (; i < count; ++i) {
        const std::uint32_t value = read_unit32<LittleEndian>(data + 4 * i);
        if (refused_by(value, limit)) break;
        out[i] = static_cast<Unit>(value);
    }
    return i;
}

template <bool LittleEndian>
Status decode_utf32_in_order(std::span<const std::uint8_t> bytes, TextSink& sink) {
    const std::uint8_t* data = bytes.data();
    const std::size_t count = bytes.size() / 4;
    std::uint32_t limit = kAsciiMax;
    for (std::size_t i = 0; i < std::min(count, kLookahead); ++i) {
        const std::uint32_t value = read_unit32<LittleEndian>(data + 4 * i);
        if (!is_scalar_value(value)) break;  // reported when the run reaches it
        limit = std::max(limit, width_limit(value));
    }
    TextSink::Room room;
    if (!sink.reserve(count, limit, room)) return no_room_error();
    RunEnd end{0, 0};
    for (;;) {
        (void)dispatch_run(room, [&](auto* out) -> RunEnd {
            const std::size_t stop = write_utf32_run<LittleEndian>(data, end.unit, count, out, limit);
            return {stop, stop};
        }, end);
        if (end.unit == count) return Done{};
        const std::uint32_t value = read_unit32<LittleEndian>(data + 4 * end.unit);
        if (!is_scalar_value(value)) return utf32_invalid(value);
        limit = width_limit(value);
        if (!sink.widen(end.written, count, limit, room)) return no_room_error();
    }
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
