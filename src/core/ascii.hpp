// ASCII scanning shared by the text decoders.  Most text is mostly ASCII, so
// every decoder skips ASCII runs a machine word at a time: eight bytes are
// loaded into a uint64_t through memcpy (no unaligned pointer casts) and
// tested for a set top bit in one operation.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

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
        for (std::size_t i = 0; i < count; ++i) out[i] = bytes[i];
    }
}

}  // namespace bitloom
