// UTF-8, UTF-16 and UTF-32 decoders.
//
// Each is a run for decode_in_runs (decoder/text_runs.hpp): it reads every
// input byte once, checks it and writes the code point from that one reading,
// into a room of one, two or four bytes per code point that starts as wide as
// the first bytes need and is widened when a wider code point comes.
//
// Runs go a block at a time while the block needs nothing but a copy into
// the room (sixteen bytes of ASCII; eight or sixteen UTF-16 units without a
// surrogate or a unit too wide for the room; four or sixteen UTF-32 values
// likewise), with SSE2 where the build has it, and one code point at a time
// through the rest of a block that holds something else; that is also where
// errors are found, in input order, from the bytes as they were read.
#include "codecs/decoder/unicode.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>

#include "core/ascii.hpp"
#include "core/bits.hpp"
#include "core/message.hpp"
#include "core/simd.hpp"
#include "codecs/decoder/text_runs.hpp"

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

#if BITLOOM_SSE2
// Latin-1 text in UTF-8 into a room of one byte per code point, sixteen
// bytes a step: a block of ASCII and two-byte sequences with the lead C2 or
// C3, each lead followed by its continuation byte inside the block, gives a
// code point at every byte that is not a continuation byte.  They are
// computed at every position together and then packed: with the byte
// shuffle where the processor has AVX2, else stored one after the other
// without a branch.  False, with nothing consumed, for any other block.
struct Latin1Block {
    __m128i values;  // the code point at each lead or ASCII byte
    unsigned kept;   // bit k: byte k is not a continuation byte
};

BITLOOM_ALWAYS_INLINE bool read_latin1_block(const std::uint8_t* data, Latin1Block& result) noexcept {
    const __m128i block = load16(data);
    const __m128i offset = _mm_set1_epi8(static_cast<char>(0x80));
    // As signed bytes after the offset: continuation bytes 0x80..0xBF are
    // 0x00..0x3F, the leads C2 and C3 are 0x42 and 0x43, ASCII is negative.
    const __m128i shifted = _mm_xor_si128(block, offset);
    const __m128i ascii = _mm_cmplt_epi8(shifted, _mm_setzero_si128());
    const __m128i continuation =
        _mm_andnot_si128(ascii, _mm_cmplt_epi8(shifted, _mm_set1_epi8(0x40)));
    const __m128i lead = _mm_or_si128(_mm_cmpeq_epi8(shifted, _mm_set1_epi8(0x42)),
                                      _mm_cmpeq_epi8(shifted, _mm_set1_epi8(0x43)));
    const auto continuation_bits = static_cast<unsigned>(_mm_movemask_epi8(continuation));
    const auto lead_bits = static_cast<unsigned>(_mm_movemask_epi8(lead));
    const auto ascii_bits = static_cast<unsigned>(_mm_movemask_epi8(ascii));
    // Every byte one of the three; each lead, and nothing else, followed by
    // a continuation byte; no lead last.
    if ((ascii_bits | continuation_bits | lead_bits) != 0xFFFF ||
        continuation_bits != ((lead_bits << 1) & 0xFFFF) || (lead_bits & 0x8000) != 0) {
        return false;
    }
    // (lead & 3) << 6 | (next & 0x3F) at leads, the byte itself elsewhere.
    const __m128i next = _mm_srli_si128(block, 1);
    const __m128i high_bits = _mm_slli_epi16(_mm_and_si128(block, _mm_set1_epi8(0x03)), 6);
    const __m128i joined = _mm_or_si128(high_bits, _mm_and_si128(next, _mm_set1_epi8(0x3F)));
    result.values = _mm_or_si128(_mm_and_si128(lead, joined), _mm_andnot_si128(lead, block));
    result.kept = ~continuation_bits & 0xFFFF;
    return true;
}

BITLOOM_ALWAYS_INLINE bool copy_latin1_block(const std::uint8_t* data, std::size_t& i,
                                             std::uint8_t* out, std::size_t& written) noexcept {
    Latin1Block block;
    if (!read_latin1_block(data + i, block)) return false;
    alignas(16) std::uint8_t bytes[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(bytes), block.values);
    std::uint8_t* to = out + written;
    std::size_t count = 0;
    for (unsigned k = 0; k < 16; ++k) {
        to[count] = bytes[k];
        count += (block.kept >> k) & 1;
    }
    written += count;
    i += 16;
    return true;
}
#endif

#if BITLOOM_AVX2
// For every pattern of kept bytes among eight, the shuffle that moves them to
// the front in order.
struct KeptBytes {
    alignas(16) std::uint8_t shuffle[256][16];
};
inline constexpr KeptBytes kKeptBytes = [] {
    KeptBytes table{};
    for (unsigned kept = 0; kept < 256; ++kept) {
        unsigned next = 0;
        for (unsigned k = 0; k < 8; ++k) {
            if ((kept >> k) & 1) table.shuffle[kept][next++] = static_cast<std::uint8_t>(k);
        }
        while (next < 16) table.shuffle[kept][next++] = 0x80;
    }
    return table;
}();

// copy_latin1_block, packed eight bytes at a time by the byte shuffle.  The
// whole run is compiled for AVX2, so that the block inlines.
[[gnu::target("avx2,popcnt")]] bool copy_latin1_block_avx2(const std::uint8_t* data, std::size_t& i,
                                                             std::uint8_t* out,
                                                             std::size_t& written) noexcept {
    Latin1Block block;
    if (!read_latin1_block(data + i, block)) return false;
    const unsigned low = block.kept & 0xFF;
    const unsigned high = block.kept >> 8;
    const __m128i low_bytes = _mm_shuffle_epi8(
        block.values, _mm_load_si128(reinterpret_cast<const __m128i*>(kKeptBytes.shuffle[low])));
    const __m128i high_bytes =
        _mm_shuffle_epi8(_mm_srli_si128(block.values, 8),
                         _mm_load_si128(reinterpret_cast<const __m128i*>(kKeptBytes.shuffle[high])));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + written), low_bytes);
    written += static_cast<unsigned>(__builtin_popcount(low));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + written), high_bytes);
    written += static_cast<unsigned>(__builtin_popcount(high));
    i += 16;
    return true;
}
#endif

template <class Unit>
RunStop run_utf8(RunState& state, Unit* out) {
    const std::uint8_t* data = state.data;
    const std::size_t end = state.end;
    const std::uint32_t limit = state.limit;
    std::size_t i = state.at;
    std::size_t written = state.written;
    const std::size_t capacity = state.capacity;
#if BITLOOM_AVX2
    const bool avx2 = sizeof(Unit) == 1 && processor_has_avx2();
#endif
    RunStop stop = stop_at_end();
    while (i < end) {
        if (written == capacity) {
            stop = stop_for_room();
            break;
        }
#if BITLOOM_SSE2
        if constexpr (sizeof(Unit) == 1) {
            if (limit == kLatin1Max && end - i >= 16 && capacity - written >= 16) {
#if BITLOOM_AVX2
                if (avx2 ? copy_latin1_block_avx2(data, i, out, written)
                         : copy_latin1_block(data, i, out, written)) {
                    continue;
                }
#else
                if (copy_latin1_block(data, i, out, written)) continue;
#endif
            }
        }
#endif
        const std::uint32_t lead = data[i];
        if (lead < 0x80) {
            const std::size_t run = copy_ascii_prefix(
                data + i, std::min(end - i, capacity - written), out + written);
            if (run == 0) {
                // The byte changed since it was read: the first reading counts.
                out[written++] = static_cast<Unit>(lead);
                ++i;
            }
            i += run;
            written += run;
            continue;
        }
        // Checked byte by byte, so that a sequence cut short by the end is
        // told apart from one with a wrong byte before it.  A sequence cut
        // short by the end of a copied head is left for the input itself.
        std::uint32_t code_point;
        std::size_t length;
        if (lead < 0xE0) {
            if (lead < 0xC2) {
                stop = stop_with_error(state, utf8_invalid(1, i));
                break;
            }
            if (end - i < 2) {
                if (state.input_ends) stop = stop_with_error(state, utf8_incomplete(i));
                break;
            }
            const std::uint32_t second = data[i + 1];
            if (!is_continuation(second)) {
                stop = stop_with_error(state, utf8_invalid(1, i));
                break;
            }
            code_point = ((lead & 0x1F) << 6) | (second & 0x3F);
            length = 2;
        } else {
            if (lead > 0xF4) {
                stop = stop_with_error(state, utf8_invalid(1, i));
                break;
            }
            if (end - i < 2) {
                if (state.input_ends) stop = stop_with_error(state, utf8_incomplete(i));
                break;
            }
            const std::uint32_t second = data[i + 1];
            if (second < second_byte_min(lead) || second > second_byte_max(lead)) {
                stop = stop_with_error(state, utf8_invalid(1, i));
                break;
            }
            if (end - i < 3) {
                if (state.input_ends) stop = stop_with_error(state, utf8_incomplete(i));
                break;
            }
            const std::uint32_t third = data[i + 2];
            if (!is_continuation(third)) {
                stop = stop_with_error(state, utf8_invalid(2, i));
                break;
            }
            if (lead < 0xF0) {
                code_point = ((lead & 0x0F) << 12) | ((second & 0x3F) << 6) | (third & 0x3F);
                length = 3;
            } else {
                if (end - i < 4) {
                    if (state.input_ends) stop = stop_with_error(state, utf8_incomplete(i));
                    break;
                }
                const std::uint32_t fourth = data[i + 3];
                if (!is_continuation(fourth)) {
                    stop = stop_with_error(state, utf8_invalid(3, i));
                    break;
                }
                code_point = ((lead & 0x07) << 18) | ((second & 0x3F) << 12) |
                             ((third & 0x3F) << 6) | (fourth & 0x3F);
                length = 4;
            }
        }
        if (code_point > limit) {
            stop = stop_for_wider(code_point, length);
            break;
        }
        out[written++] = static_cast<Unit>(code_point);
        i += length;
    }
    state.at = i;
    state.written = written;
    return stop;
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

[[gnu::cold]] CodecError utf16_lone_surrogate() {
    return make_error(ErrorKind::value_error,
                      "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found");
}

#if BITLOOM_SSE2
template <bool LittleEndian>
inline __m128i load_units16(const std::uint8_t* bytes) noexcept {
    const __m128i units = load16(bytes);
    if constexpr (LittleEndian) return units;
    return byte_swap_lanes16(units);
}

// Copies blocks of units that need nothing but a copy into the room: no
// surrogate, none above the room's limit.
template <bool LittleEndian, class Unit>
BITLOOM_ALWAYS_INLINE void copy_plain_utf16(const std::uint8_t* data, std::size_t& i, std::size_t end,
                                            Unit* out, std::size_t& written, std::size_t capacity,
                                            std::uint32_t limit) noexcept {
    if constexpr (sizeof(Unit) == 1) {
        const __m128i above = _mm_set1_epi16(static_cast<short>(~limit & 0xFFFF));
        const __m128i zero = _mm_setzero_si128();
        while (end - i >= 32 && capacity - written >= 16) {
            const __m128i first = load_units16<LittleEndian>(data + i);
            const __m128i second = load_units16<LittleEndian>(data + i + 16);
            const __m128i refused = _mm_and_si128(_mm_or_si128(first, second), above);
            if (_mm_movemask_epi8(_mm_cmpeq_epi8(refused, zero)) != 0xFFFF) return;
            store16(out + written, _mm_packus_epi16(first, second));
            i += 32;
            written += 16;
        }
    } else {
        // Bits above the limit (none for the basic plane and beyond): a
        // sink may give a wider room than the text needs so far.
        const __m128i above = _mm_set1_epi16(static_cast<short>(~std::min(limit, kBasicPlaneMax) & 0xFFFF));
        while (end - i >= 16 && capacity - written >= 8) {
            const __m128i units = load_units16<LittleEndian>(data + i);
            const __m128i refused = _mm_and_si128(units, above);
            if ((surrogate_lanes16(units) |
                 (_mm_movemask_epi8(_mm_cmpeq_epi16(refused, _mm_setzero_si128())) ^ 0xFFFF)) != 0) {
                return;
            }
            store_units16_widened(out + written, units);
            i += 16;
            written += 8;
        }
    }
}
#endif

template <bool LittleEndian, class Unit>
RunStop run_utf16(RunState& state, Unit* out) {
    const std::uint8_t* data = state.data;
    const std::size_t end = state.end;
    const std::uint32_t limit = state.limit;
    std::size_t i = state.at;
    std::size_t written = state.written;
    RunStop stop = stop_at_end();
    for (;;) {
#if BITLOOM_SSE2
        copy_plain_utf16<LittleEndian>(data, i, end, out, written, state.capacity, limit);
#endif
        if (i == end) break;
        // Unit by unit to the end of the block that held something else.
        const std::size_t block_end = std::min(end, i + 32);
        bool stopped = false;
        while (i < block_end) {
            const std::uint32_t unit = read_unit16<LittleEndian>(data + i);
            std::uint32_t code_point = unit;
            std::size_t length = 2;
            if (is_surrogate(unit)) {
                // A high surrogate must be followed by a low one; nothing
                // else may stand next to a surrogate.
                if (unit >= 0xDC00) {
                    stop = stop_with_error(state, utf16_lone_surrogate());
                    stopped = true;
                    break;
                }
                if (end - i < 4) {
                    if (state.input_ends) stop = stop_with_error(state, utf16_lone_surrogate());
                    stopped = true;
                    break;
                }
                const std::uint32_t low = read_unit16<LittleEndian>(data + i + 2);
                if (!is_low_surrogate(low)) {
                    stop = stop_with_error(state, utf16_lone_surrogate());
                    stopped = true;
                    break;
                }
                code_point = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                length = 4;
            }
            if (code_point > limit) {
                stop = stop_for_wider(code_point, length);
                stopped = true;
                break;
            }
            if (written == state.capacity) {
                stop = stop_for_room();
                stopped = true;
                break;
            }
            out[written++] = static_cast<Unit>(code_point);
            i += length;
        }
        if (stopped || i >= end) break;
    }
    state.at = i;
    state.written = written;
    return stop;
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

#if BITLOOM_SSE2
template <bool LittleEndian>
inline __m128i load_units32(const std::uint8_t* bytes) noexcept {
    const __m128i units = load16(bytes);
    if constexpr (LittleEndian) return units;
    return byte_swap_lanes32(units);
}

// Lanes of 32 bits above `limit` or holding a surrogate, as a byte mask.
inline int refused_lanes32(__m128i units, __m128i above, __m128i offset) noexcept {
    const __m128i too_large = _mm_cmpgt_epi32(_mm_xor_si128(units, offset), above);
    const __m128i marked = _mm_and_si128(units, _mm_set1_epi32(static_cast<int>(0xFFFFF800u)));
    const __m128i surrogate = _mm_cmpeq_epi32(marked, _mm_set1_epi32(0xD800));
    return _mm_movemask_epi8(_mm_or_si128(too_large, surrogate));
}

template <bool LittleEndian, class Unit>
BITLOOM_ALWAYS_INLINE void copy_plain_utf32(const std::uint8_t* data, std::size_t& i, std::size_t end,
                                            Unit* out, std::size_t& written,
                                            std::uint32_t limit) noexcept {
    // Compared as unsigned: both sides offset by 2^31.
    const __m128i offset = _mm_set1_epi32(INT32_MIN);
    const __m128i above = _mm_set1_epi32(static_cast<int>(limit ^ 0x80000000u));
    if constexpr (sizeof(Unit) == 1) {
        while (end - i >= 64) {
            const __m128i a = load_units32<LittleEndian>(data + i);
            const __m128i b = load_units32<LittleEndian>(data + i + 16);
            const __m128i c = load_units32<LittleEndian>(data + i + 32);
            const __m128i d = load_units32<LittleEndian>(data + i + 48);
            const __m128i all = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
            // Every limit of a one-byte room is one less than a power of two.
            const __m128i refused = _mm_and_si128(all, _mm_set1_epi32(static_cast<int>(~limit)));
            if (_mm_movemask_epi8(_mm_cmpeq_epi32(refused, _mm_setzero_si128())) != 0xFFFF) return;
            store16(out + written,
                    _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d)));
            i += 64;
            written += 16;
        }
    } else if constexpr (sizeof(Unit) == 2) {
        const __m128i bias32 = _mm_set1_epi32(0x8000);
        const __m128i bias16 = _mm_set1_epi16(static_cast<short>(0x8000));
        while (end - i >= 32) {
            const __m128i a = load_units32<LittleEndian>(data + i);
            const __m128i b = load_units32<LittleEndian>(data + i + 16);
            if ((refused_lanes32(a, above, offset) | refused_lanes32(b, above, offset)) != 0) return;
            // Packed with signed saturation, so moved into its range and back.
            const __m128i packed = _mm_packs_epi32(_mm_sub_epi32(a, bias32), _mm_sub_epi32(b, bias32));
            store16(out + written, _mm_add_epi16(packed, bias16));
            i += 32;
            written += 8;
        }
    } else {
        while (end - i >= 16) {
            const __m128i units = load_units32<LittleEndian>(data + i);
            if (refused_lanes32(units, above, offset) != 0) return;
            store16(out + written, units);
            i += 16;
            written += 4;
        }
    }
}
#endif

template <bool LittleEndian, class Unit>
RunStop run_utf32(RunState& state, Unit* out) {
    const std::uint8_t* data = state.data;
    const std::size_t end = state.end;
    const std::uint32_t limit = state.limit;
    std::size_t i = state.at;
    std::size_t written = state.written;
    RunStop stop = stop_at_end();
    for (;;) {
#if BITLOOM_SSE2
        copy_plain_utf32<LittleEndian>(data, i, end, out, written, limit);
#endif
        if (i == end) break;
        const std::size_t block_end = std::min(end, i + 64);
        bool stopped = false;
        for (; i < block_end; i += 4) {
            const std::uint32_t value = read_unit32<LittleEndian>(data + i);
            if (value > limit) {
                stop = is_scalar_value(value) ? stop_for_wider(value, 4)
                                              : stop_with_error(state, utf32_invalid(value));
                stopped = true;
                break;
            }
            if (is_surrogate(value)) {
                stop = stop_with_error(state, utf32_invalid(value));
                stopped = true;
                break;
            }
            out[written++] = static_cast<Unit>(value);
        }
        if (stopped || i >= end) break;
    }
    state.at = i;
    state.written = written;
    return stop;
}

// High surrogates among `units` code units, counted from the byte that holds
// a unit's top bits, in chunks of 255 into a one-byte counter that the
// compiler can vectorise.
template <bool LittleEndian>
std::size_t count_high_surrogates(const std::uint8_t* data, std::size_t units) noexcept {
    constexpr std::size_t kHigh = LittleEndian ? 1 : 0;
    std::size_t count = 0;
    for (std::size_t start = 0; start < units; start += 255) {
        const std::size_t end = std::min(units, start + 255);
        std::uint8_t chunk_count = 0;
        for (std::size_t i = start; i < end; ++i) {
            chunk_count = static_cast<std::uint8_t>(chunk_count + ((data[2 * i + kHigh] & 0xFC) == 0xD8));
        }
        count += chunk_count;
    }
    return count;
}

template <bool LittleEndian>
Status decode_utf16_in_order(std::span<const std::uint8_t> bytes, TextSink& sink) {
    // Text that needs four bytes per code point is one code point per pair:
    // a long one is made about as long as its pairs leave, rather than as
    // long as its units, which would take a fresh mapping of memory from the
    // system on every call (the allocator keeps freed blocks for reuse only
    // up to the size of the last one it gave back).
    struct : NoLengthHint {
        std::size_t operator()(const std::uint8_t* rest, std::size_t units,
                               std::uint32_t limit) const noexcept {
            constexpr std::size_t kCountFrom = 4096;
            if (limit != kUnicodeMax || units < kCountFrom) return units;
            return units - count_high_surrogates<LittleEndian>(rest, units);
        }
    } hint;
    return decode_in_runs<2>(bytes, sink, [](RunState& state, auto* out) {
        return run_utf16<LittleEndian>(state, out);
    }, hint);
}

template <bool LittleEndian>
Status decode_utf32_in_order(std::span<const std::uint8_t> bytes, TextSink& sink) {
    return decode_in_runs<4>(bytes, sink, [](RunState& state, auto* out) {
        return run_utf32<LittleEndian>(state, out);
    });
}

}  // namespace

Status decode_utf8(std::span<const std::uint8_t> bytes, TextSink& sink) {
    // Text that is not ASCII takes fewer code points than bytes: a long one
    // is made as long as its bytes that are not continuation bytes, rather
    // than as long as its bytes, which would take a fresh mapping of memory
    // from the system on every call (the allocator keeps freed blocks for
    // reuse only up to the size of the last one it gave back).
    struct : NoLengthHint {
      std::size_t operator()(const std::uint8_t* rest, std::size_t size, std::uint32_t limit) const noexcept {
        constexpr std::size_t kCountFrom = 4096;
        if (limit == kAsciiMax || size < kCountFrom) return size;
        // Counted in chunks of at most 255 bytes into a one-byte counter,
        // which lets the compiler count sixteen bytes per vector instruction.
        std::size_t continuation_bytes = 0;
        for (std::size_t start = 0; start < size; start += 255) {
            const std::size_t end = std::min(size, start + 255);
            std::uint8_t chunk_count = 0;
            for (std::size_t i = start; i < end; ++i) {
                chunk_count = static_cast<std::uint8_t>(chunk_count + ((rest[i] & 0xC0) == 0x80));
            }
            continuation_bytes += chunk_count;
        }
        return size - continuation_bytes;
      }
    } hint;
    return decode_in_runs<1>(
        bytes, sink, [](RunState& state, auto* out) { return run_utf8(state, out); }, hint);
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
