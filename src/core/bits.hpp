// Bit helpers shared by the codecs and the recipe engine.  Bit 0 is the least
// significant bit of a 64-bit pattern.  Every helper is defined for widths of
// 64 and more without shifting a 64-bit word by 64 or more places, which C++
// leaves undefined.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace bitloom {

// Patterns of binary128 values.  GCC and Clang have a 128-bit integer type;
// elsewhere (MSVC, BITLOOM_PORTABLE builds) two 64-bit words in the
// machine's memory order stand in for it, so that the 16 native-order bytes
// of a Python int can be copied into either.  Code reads the two halves
// through high_word and low_word and builds values with make_uint128.
#if defined(__SIZEOF_INT128__) && !defined(BITLOOM_PORTABLE)
__extension__ typedef unsigned __int128 uint128;

constexpr std::uint64_t high_word(uint128 value) noexcept {
    return static_cast<std::uint64_t>(value >> 64);
}
constexpr std::uint64_t low_word(uint128 value) noexcept {
    return static_cast<std::uint64_t>(value);
}
constexpr uint128 make_uint128(std::uint64_t high, std::uint64_t low) noexcept {
    return (uint128{high} << 64) | low;
}
#else
struct uint128 {
    std::uint64_t words[2];
};

inline constexpr int kLowWord = std::endian::native == std::endian::little ? 0 : 1;

constexpr std::uint64_t high_word(uint128 value) noexcept { return value.words[1 - kLowWord]; }
constexpr std::uint64_t low_word(uint128 value) noexcept { return value.words[kLowWord]; }
constexpr uint128 make_uint128(std::uint64_t high, std::uint64_t low) noexcept {
    uint128 value{};
    value.words[1 - kLowWord] = high;
    value.words[kLowWord] = low;
    return value;
}
#endif

static_assert(sizeof(uint128) == 16);

// The bytes of `word` in reverse order.  byte_swap64_portable is the
// fallback for compilers without the builtin; optimisers turn it into one
// instruction as well.
constexpr std::uint64_t byte_swap64_portable(std::uint64_t word) noexcept {
    word = ((word & 0x00FF00FF00FF00FFu) << 8) | ((word >> 8) & 0x00FF00FF00FF00FFu);
    word = ((word & 0x0000FFFF0000FFFFu) << 16) | ((word >> 16) & 0x0000FFFF0000FFFFu);
    return (word << 32) | (word >> 32);
}

constexpr std::uint64_t byte_swap64(std::uint64_t word) noexcept {
#if (defined(__GNUC__) || defined(__clang__)) && !defined(BITLOOM_PORTABLE)
    return __builtin_bswap64(word);
#else
    return byte_swap64_portable(word);
#endif
}

constexpr std::uint32_t byte_swap32(std::uint32_t word) noexcept {
    return static_cast<std::uint32_t>(byte_swap64(word) >> 32);
}

constexpr std::uint16_t byte_swap16(std::uint16_t word) noexcept {
    return static_cast<std::uint16_t>((word >> 8) | (word << 8));
}

// The eight bytes at `bytes` as one big-endian word, and back.
inline std::uint64_t load_big_endian(const std::uint8_t* bytes) noexcept {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes, 8);
    return std::endian::native == std::endian::little ? byte_swap64(word) : word;
}

inline void store_big_endian(std::uint8_t* bytes, std::uint64_t word) noexcept {
    if constexpr (std::endian::native == std::endian::little) word = byte_swap64(word);
    std::memcpy(bytes, &word, 8);
}

// The low `bits` bits set; all 64 for widths of 64 and more.
constexpr std::uint64_t low_mask(std::uint64_t bits) noexcept {
    return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
}

// 2^bits for bits < 64.
constexpr std::uint64_t power_of_two(unsigned bits) noexcept {
    return std::uint64_t{1} << (bits & 63u);
}

constexpr bool bit_is_set(std::uint64_t word, unsigned position) noexcept {
    return ((word >> (position & 63u)) & 1u) != 0;
}

// Reinterpret a pattern as a signed 64-bit number (two's complement).
constexpr std::int64_t as_signed(std::uint64_t word) noexcept {
    return std::bit_cast<std::int64_t>(word);
}

constexpr std::uint64_t as_unsigned(std::int64_t value) noexcept {
    return std::bit_cast<std::uint64_t>(value);
}

// |value| as an unsigned number, so that |-2^63| = 2^63 has a representation.
constexpr std::uint64_t magnitude(std::int64_t value) noexcept {
    std::uint64_t word = as_unsigned(value);
    return value < 0 ? ~word + 1 : word;
}

// Reverse the order of the low `bits` bits (1..64) of `word`; higher bits are
// dropped.
constexpr std::uint64_t reverse_low_bits(std::uint64_t word, unsigned bits) noexcept {
    word = ((word >> 1) & 0x5555555555555555u) | ((word & 0x5555555555555555u) << 1);
    word = ((word >> 2) & 0x3333333333333333u) | ((word & 0x3333333333333333u) << 2);
    word = ((word >> 4) & 0x0F0F0F0F0F0F0F0Fu) | ((word & 0x0F0F0F0F0F0F0F0Fu) << 4);
    word = byte_swap64(word);
    // The low `bits` bits now sit at the top; a width of 0 keeps nothing.
    return bits == 0 ? 0 : word >> (64 - (bits > 64 ? 64 : bits));
}

}  // namespace bitloom
