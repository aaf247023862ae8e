// ASCII scanning shared by the text decoders.  Most text is mostly ASCII, so
// every decoder skips ASCII runs a machine word at a time: eight bytes are
// loaded into a uint64_t through memcpy (no unaligned pointer casts) and
// tested for a set top bit in one operation.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/compiler.hpp"
#include "core/simd.hpp"

namespace bitloom {

inline constexpr std::uint64_t kHighBitOfEveryByte = 0x8080808080808080u;

inline std::uint64_t load_word(const std::uint8_t* bytes) noexcept {
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// The number of ASCII bytes at the start of an eight-byte word, given the
// word's top bits (word & kHighBitOfEveryByte, not zero): the first byte in
// memory is the low byte of the word on a little-endian machine.
inline std::size_t leading_ascii_bytes(std::uint64_t high_bits) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        return static_cast<std::size_t>(std::countr_zero(high_bits)) / 8;
    } else {
        return static_cast<std::size_t>(std::countl_zero(high_bits)) / 8;
    }
}

// The number of leading bytes below 0x80: thirty-two bytes per step through
// a long run (four words tested together, which runs about twice as fast as
// two), and the end of a run found inside its last word.
inline std::size_t ascii_run_length(const std::uint8_t* bytes, std::size_t size) noexcept {
    std::size_t i = 0;
    while (i + 32 <= size &&
           ((load_word(bytes + i) | load_word(bytes + i + 8) | load_word(bytes + i + 16) |
             load_word(bytes + i + 24)) &
            kHighBitOfEveryByte) == 0) {
        i += 32;
    }
    for (; i + 8 <= size; i += 8) {
        const std::uint64_t high_bits = load_word(bytes + i) & kHighBitOfEveryByte;
        if (high_bits != 0) return i + leading_ascii_bytes(high_bits);
    }
    while (i < size && bytes[i] < 0x80) ++i;
    return i;
}

// Copies `count` bytes into code units of any width, each byte becoming the
// unit of the same value.
template <class Unit>
inline void widen_bytes(const std::uint8_t* bytes, std::size_t count, Unit* out) noexcept {
    if constexpr (sizeof(Unit) == 1) {
        if (count != 0) std::memcpy(out, bytes, count);
    } else {
        std::size_t i = 0;
#if BITLOOM_SSE2
        for (; i + 16 <= count; i += 16) store_bytes_widened(out + i, load16(bytes + i));
#endif
        for (; i < count; ++i) out[i] = bytes[i];
    }
}

// Copies the leading ASCII bytes of `bytes` into `out` as units of the same
// value and returns how many there were.  Each byte is loaded once and
// written from that load, so the copy is ASCII even if the bytes change
// meanwhile.  `out` must have room for `size` units: whole blocks are stored,
// and the units after the first non-ASCII byte of the last one are left for
// the caller to overwrite.
template <class Unit>
BITLOOM_ALWAYS_INLINE std::size_t copy_ascii_prefix(const std::uint8_t* bytes, std::size_t size,
                                                    Unit* out) noexcept {
    std::size_t i = 0;
#if BITLOOM_SSE2
    for (; size - i >= 16; i += 16) {
        const __m128i block = load16(bytes + i);
        store_bytes_widened(out + i, block);
        const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(block));
        if (high != 0) return i + static_cast<std::size_t>(std::countr_zero(high));
    }
#endif
    for (; size - i >= 8; i += 8) {
        const std::uint64_t word = load_word(bytes + i);
        const std::uint64_t high = word & kHighBitOfEveryByte;
        const std::size_t ascii = high == 0 ? 8 : leading_ascii_bytes(high);
        // Each byte from the word as loaded, never from memory again.
        if constexpr (sizeof(Unit) == 1) {
            std::memcpy(out + i, &word, 8);
        } else {
            for (std::size_t k = 0; k < ascii; ++k) {
                if constexpr (std::endian::native == std::endian::little) {
                    out[i + k] = static_cast<std::uint8_t>(word >> (8 * k));
                } else {
                    out[i + k] = static_cast<std::uint8_t>(word >> (56 - 8 * k));
                }
            }
        }
        if (high != 0) return i + ascii;
    }
    for (; i < size; ++i) {
        const std::uint8_t byte = bytes[i];
        if (byte >= 0x80) return i;
        out[i] = byte;
    }
    return size;
}

}  // namespace bitloom
