// UTF-8, UTF-16 and UTF-32 encoders over code points stored one, two or four
// bytes wide.  The measure loops are branch-free sums so that the compiler can
// vectorise them; the writers take the byte order as a template parameter so
// that the inner loops do not test it per code unit.
#include "encoder/unicode.hpp"

#include <cstring>

#include "common/ascii.hpp"

namespace bitloom {

namespace {

template <bool LittleEndian>
inline std::uint8_t* put_unit16(std::uint8_t* out, std::uint32_t unit) noexcept {
    const auto high = static_cast<std::uint8_t>(unit >> 8);
    const auto low = static_cast<std::uint8_t>(unit);
    out[0] = LittleEndian ? low : high;
    out[1] = LittleEndian ? high : low;
    return out + 2;
}

template <bool LittleEndian>
inline std::uint8_t* put_unit32(std::uint8_t* out, std::uint32_t value) noexcept {
    for (int i = 0; i < 4; ++i) {
        const int shift = LittleEndian ? 8 * i : 8 * (3 - i);
        out[i] = static_cast<std::uint8_t>(value >> shift);
    }
    return out + 4;
}

template <bool LittleEndian, class Unit>
void write_utf16_in_order(std::span<const Unit> code_points, std::uint8_t* out) noexcept {
    for (const Unit unit : code_points) {
        const std::uint32_t c = unit;
        if (sizeof(Unit) < 4 || c < 0x10000) {
            out = put_unit16<LittleEndian>(out, c);
        } else {
            const std::uint32_t v = c - 0x10000;
            out = put_unit16<LittleEndian>(out, 0xD800 + (v >> 10));
            out = put_unit16<LittleEndian>(out, 0xDC00 + (v & 0x3FF));
        }
    }
}

template <bool LittleEndian, class Unit>
void write_utf32_in_order(std::span<const Unit> code_points, std::uint8_t* out) noexcept {
    for (const Unit unit : code_points) out = put_unit32<LittleEndian>(out, unit);
}

}  // namespace

template <class Unit>
bool contains_surrogate(std::span<const Unit> code_points) noexcept {
    if constexpr (sizeof(Unit) == 1) {
        return false;
    } else {
        bool found = false;
        for (const Unit c : code_points) found |= is_surrogate(c);
        return found;
    }
}

template <class Unit>
EncodedSize measure_utf8(std::span<const Unit> code_points) noexcept {
    std::size_t continuation_bytes = 0;
    bool has_surrogate = false;
    if constexpr (sizeof(Unit) == 1) {
        for (const Unit c : code_points) continuation_bytes += c >> 7;
    } else {
        for (const Unit unit : code_points) {
            const std::uint32_t c = unit;
            continuation_bytes += std::size_t{c >= 0x80} + std::size_t{c >= 0x800} +
                                  std::size_t{c >= 0x10000};
            has_surrogate |= is_surrogate(c);
        }
    }
    return {code_points.size() + continuation_bytes, has_surrogate};
}

template <class Unit>
EncodedSize measure_utf16(std::span<const Unit> code_points) noexcept {
    std::size_t pairs = 0;
    if constexpr (sizeof(Unit) == 4) {
        for (const Unit c : code_points) pairs += std::size_t{c >= 0x10000};
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
    while (i < size) {
        if constexpr (sizeof(Unit) == 1) {
            // Latin-1 storage: copy ASCII runs whole.
            const std::size_t run = ascii_run_length(code_points.data() + i, size - i);
            if (run != 0) {
                std::memcpy(out, code_points.data() + i, run);
                out += run;
                i += run;
                if (i == size) break;
            }
        }
        const std::uint32_t c = code_points[i++];
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
void write_utf16(std::span<const Unit> code_points, bool little_endian, std::uint8_t* out) noexcept {
    if (little_endian) {
        write_utf16_in_order<true>(code_points, out);
    } else {
        write_utf16_in_order<false>(code_points, out);
    }
}

template <class Unit>
void write_utf32(std::span<const Unit> code_points, bool little_endian, std::uint8_t* out) noexcept {
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
