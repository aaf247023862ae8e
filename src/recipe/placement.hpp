// Turning values into field bytes and writing fields into a packet.
// Packet bit p is bit 7 - (p mod 8) of byte p div 8: bit 0 is the most
// significant bit of byte 0.  Field bytes are numbered the same way.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "core/bits.hpp"
#include "core/codec_result.hpp"

namespace bitloom {

// Up to 8 field bytes of a numeric value, most significant byte first.
struct IntegerField {
    std::array<std::uint8_t, 8> bytes{};
    std::size_t size = 0;
    std::span<std::uint8_t> span() noexcept { return {bytes.data(), size}; }
};

// The low 8n bits of `value` (n = ceil(bits / 8)) as n bytes, after an
// optional reversal of its low `bits` bits.  Fails for widths above 64.
Result<IntegerField> encode_integer_to_bytes(std::uint64_t value, std::uint32_t bits, bool reverse);

// Reverses the order of the last `bits` bits of `bytes`, whose
// 8 * size - bits leading bits are zero and stay zero.
void reverse_trailing_bits(std::span<std::uint8_t> bytes, std::uint32_t bits) noexcept;

// The last `bits` bits of `data`, right-aligned in ceil(bits / 8) bytes,
// optionally in reverse bit order.  Replaces the contents of `out`.
void encode_binary_to_bytes(std::span<const std::uint8_t> data, std::uint32_t bits, bool reverse,
                            std::vector<std::uint8_t>& out);

// The bit after a field of `bits` bits at `start`, or an error when it lies
// beyond the largest bit position a 64-bit count can name.
Result<std::uint64_t> field_end(std::uint64_t start, std::uint32_t bits);

// Overwrites packet bits [start, start + bits) with the field: the last
// `bits` bits of `field` when it is long enough, else all of `field`
// followed by zero bits.  Bits past the end of the packet are not written.
void place_field(std::span<std::uint8_t> packet, std::span<const std::uint8_t> field,
                 std::uint64_t start, std::uint32_t bits) noexcept;

// place_word where the field does not lie within eight whole bytes of the
// packet: over nine bytes, or near (or past) the packet's end.
void place_word_near_end(std::span<std::uint8_t> packet, std::uint64_t value, std::uint64_t start,
                         std::uint32_t bits) noexcept;

// place_field for a numeric field given as a word: overwrites packet bits
// [start, start + bits) with the low `bits` bits of `value` (bits <= 64),
// exactly as place_field writes the field bytes that hold them (bits past
// the packet's end are dropped).  The usual field is one read-modify-write
// of the eight bytes from its first.
inline void place_word(std::span<std::uint8_t> packet, std::uint64_t value, std::uint64_t start,
                       std::uint32_t bits) noexcept {
    const std::uint64_t first = start / 8;
    const unsigned offset = static_cast<unsigned>(start % 8);
    if (bits != 0 && offset + bits <= 64 && packet.size() >= 8 && first <= packet.size() - 8) {
        const unsigned gap = 64 - offset - bits;
        const std::uint64_t mask = low_mask(bits) << gap;
        std::uint8_t* at = packet.data() + first;
        store_big_endian(at, (load_big_endian(at) & ~mask) | ((value & low_mask(bits)) << gap));
        return;
    }
    place_word_near_end(packet, value, start, bits);
}

}  // namespace bitloom
