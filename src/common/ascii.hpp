// ASCII scanning shared by the text decoders.  Most text is mostly ASCII, so
// every decoder skips ASCII runs a machine word at a time: eight bytes are
// loaded into a uint64_t through memcpy (no unaligned pointer casts) and
// tested for a set top bit in one operation.
#pragma once

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

// The number of leading bytes below 0x80.
inline std::size_t ascii_run_length(const std::uint8_t* bytes, std::size_t size) noexcept {
    std::size_t i = 0;
    while (i + 16 <= size &&
           ((load_word(bytes + i) | load_word(bytes + i + 8)) & kHighBitOfEveryByte) == 0) {
        i += 16;
    }
    while (i + 8 <= size && (load_word(bytes + i) & kHighBitOfEveryByte) == 0) i += 8;
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
