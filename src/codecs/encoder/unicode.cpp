// UTF-8, UTF-16 and UTF-32 encoders over code points stored one, two or four
// bytes wide.  The measure loops are branch-free sums so that the compiler can
// vectorise them; the writers take the byte order as a template parameter so
// that the inner loops do not test it per code unit, and store whole units
// through memcpy.
#include "codecs/encoder/unicode.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/ascii.hpp"
#include "core/bits.hpp"

namespace bitloom {

namespace {

// A 16-bit unit in the requested byte order, stored through memcpy.  The
// swap is written as shifts so that the compiler can vectorise the loops.
template <bool LittleEndian>
inline void put_unit16(std::uint8_t* out, std::uint32_t value) noexcept {
    auto unit = static_cast<std::uint16_t>(value);
    if constexpr (!LittleEndian) unit = static_cast<std::uint16_t>((unit << 8) | (unit >> 8));
    if constexpr (std::endian::native == std::endian::big) {
        unit = static_cast<std::uint16_t>((unit << 8) | (unit >> 8));
    }
    std::memcpy(out, &unit, sizeof unit);
}

template <bool LittleEndian>
inline void put_unit32(std::uint8_t* out, std::uint32_t value) noexcept {
    if constexpr (!LittleEndian) {
        value = (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) |
                (value << 24);
    }
    if constexpr (std::endian::native == std::endian::big) value = byte_swap32(value);
    std::memcpy(out, &value, sizeof value);
}

template <bool LittleEndian, class Unit>
void write_utf16_in_order(std::span<const Unit> code_points, std::uint8_t* out) noexcept {
    if constexpr (sizeof(Unit) < 4) {
        for (std::size_t i = 0; i < code_points.size(); ++i) {
            put_unit16<LittleEndian>(out + 2 * i, code_points[i]);
        }
    } else {
        for (const std::uint32_t c : code_points) {
            if (c < 0x10000) {
                put_unit16<LittleEndian>(out, c);
                out += 2;
            } else {
                const std::uint32_t v = c - 0x10000;
                put_unit16<LittleEndian>(out, 0xD800 + (v >> 10));
                put_unit16<LittleEndian>(out + 2, 0xDC00 + (v & 0x3FF));
                out += 4;
            }
        }
    }
}

template <bool LittleEndian, class Unit>
void write_utf32_in_order(std::span<const Unit> code_points, std::uint8_t* out) noexcept {
    for (std::size_t i = 0; i < code_points.size(); ++i) {
        put_unit32<LittleEndian>(out + 4 * i, code_points[i]);
    }
}

// The sum of step(c) over the code points.  The measure loops count into an
// accumulator as narrow as the code points themselves, over chunks short
// enough that it cannot overflow (each step adds at most 2 for one-byte and
// 3 for wider units), so that the compiler can count a full vector of code
// points per instruction without widening every lane to 64 bits.
template <class Unit, class Step>
std::size_t sum_in_chunks(std::span<const Unit> code_points, Step step) noexcept {
    constexpr std::size_t kChunk = sizeof(Unit) == 1 ? 127 : 16383;
    std::size_t total = 0;
    for (std::size_t start = 0; start < code_points.size(); start += kChunk) {
        const std::size_t end = std::min(code_points.size(), start + kChunk);
        Unit chunk = 0;
        for (std::size_t i = start; i < end; ++i) {
            chunk = static_cast<Unit>(chunk + step(code_points[i]));
        }
        total += chunk;
    }
    return total;
}

}  // namespace

template <class Unit>
bool contains_surrogate(std::span<const Unit> code_points) noexcept {
    if constexpr (sizeof(Unit) == 1) {
        return false;
    } else {
        // Counted rather than searched: a branch-free count vectorises.
        return sum_in_chunks(code_points, [](Unit c) {
                   return static_cast<Unit>((c & 0xFFFFF800u) == 0xD800u);
               }) != 0;
    }
}

template <class Unit>
EncodedSize measure_utf8(std::span<const Unit> code_points) noexcept {
    // Every code point takes one byte, plus one from U+0080, U+0800 and U+10000 on.
    const std::size_t extra = sum_in_chunks(code_points, [](Unit c) {
        if constexpr (sizeof(Unit) == 1) {
            return static_cast<Unit>(c >> 7);
        } else if constexpr (sizeof(Unit) == 2) {
            return static_cast<Unit>(Unit{c >= 0x80} + Unit{c >= 0x800});
        } else {
            return static_cast<Unit>(Unit{c >= 0x80} + Unit{c >= 0x800} + Unit{c >= 0x10000});
        }
    });
    return {code_points.size() + extra, contains_surrogate(code_points)};
}

template <class Unit>
EncodedSize measure_utf16(std::span<const Unit> code_points) noexcept {
    std::size_t pairs = 0;
    if constexpr (sizeof(Unit) == 4) {
        pairs = sum_in_chunks(code_points, [](Unit c) { return Unit{c >= 0x10000}; });
    }
    return {2 * (code_points.size() + pairs), contains_surrogate(code_points)};
}

template <class Unit>
EncodedSize measure_utf32(std::span<const Unit> code_points) noexcept {
    return {4 * code_points.size(), contains_surrogate(code_points)};
}

template <class Unit>
void write_utf8(std::span<const Unit> code_points, std::uint8_t* out) noexcept {
    const std::size_t size = code_points.size();
    std::size_t i = 0;
    if constexpr (sizeof(Unit) == 1) {
        // Latin-1 storage, eight code points at a time: copied when all are
        // ASCII, else each written without a branch as two bytes of which
        // the second counts only above U+007F.  Writing the second byte is
        // safe while another code point follows, which will take at least
        // that byte; the last code point is written by the loop below.
        while (i + 8 < size) {
            if ((load_word(code_points.data() + i) & kHighBitOfEveryByte) == 0) {
                std::memcpy(out, code_points.data() + i, 8);
                out += 8;
                i += 8;
                continue;
            }
            for (const std::size_t end = i + 8; i < end; ++i) {
                const std::uint32_t c = code_points[i];
                const bool wide = c >= 0x80;
                out[0] = static_cast<std::uint8_t>(wide ? 0xC0 | (c >> 6) : c);
                out[1] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
                out += 1 + std::size_t{wide};
            }
        }
    }
    for (; i < size; ++i) {
        const std::uint32_t c = code_points[i];
        if (c < 0x80) {
            *out++ = static_cast<std::uint8_t>(c);
        } else if (c < 0x800) {
            out[0] = static_cast<std::uint8_t>(0xC0 | (c >> 6));
            out[1] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
            out += 2;
        } else if (c < 0x10000) {
            out[0] = static_cast<std::uint8_t>(0xE0 | (c >> 12));
            out[1] = static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F));
            out[2] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
            out += 3;
        } else {
            out[0] = static_cast<std::uint8_t>(0xF0 | (c >> 18));
            out[1] = static_cast<std::uint8_t>(0x80 | ((c >> 12) & 0x3F));
            out[2] = static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F));
            out[3] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
            out += 4;
        }
    }
}

template <class Unit>
void write_utf16(std::span<const Unit> code_points, bool little_endian,
                 std::uint8_t* out) noexcept {
    if (little_endian) {
        write_utf16_in_order<true>(code_points, out);
    } else {
        write_utf16_in_order<false>(code_points, out);
    }
}

template <class Unit>
void write_utf32(std::span<const Unit> code_points, bool little_endian,
                 std::uint8_t* out) noexcept {
    if (little_endian) {
        write_utf32_in_order<true>(code_points, out);
    } else {
        write_utf32_in_order<false>(code_points, out);
    }
}

#define BITLOOM_INSTANTIATE_ENCODERS(Unit)                                                   \
    template bool contains_surrogate<Unit>(std::span<const Unit>) noexcept;                 \
    template EncodedSize measure_utf8<Unit>(std::span<const Unit>) noexcept;                \
    template EncodedSize measure_utf16<Unit>(std::span<const Unit>) noexcept;               \
    template EncodedSize measure_utf32<Unit>(std::span<const Unit>) noexcept;               \
    template void write_utf8<Unit>(std::span<const Unit>, std::uint8_t*) noexcept;          \
    template void write_utf16<Unit>(std::span<const Unit>, bool, std::uint8_t*) noexcept;   \
    template void write_utf32<Unit>(std::span<const Unit>, bool, std::uint8_t*) noexcept;

BITLOOM_INSTANTIATE_ENCODERS(std::uint8_t)
BITLOOM_INSTANTIATE_ENCODERS(std::uint16_t)
BITLOOM_INSTANTIATE_ENCODERS(std::uint32_t)

#undef BITLOOM_INSTANTIATE_ENCODERS

}  // namespace bitloom
