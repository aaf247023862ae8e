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
#include "core/compiler.hpp"

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
// field_end's check alone.
constexpr bool field_fits(std::uint64_t start, std::uint32_t bits) noexcept {
    return start <= UINT64_MAX - bits;
}

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

// Up to eight field bytes as the number whose low `bits` bits (bits <= 64)
// place_word writes where place_field would write the bytes: their last
// `bits` bits, or all of them followed by zero bits when they are shorter.
inline std::uint64_t field_bytes_number(std::span<const std::uint8_t> field,
                                        std::uint32_t bits) noexcept {
    std::uint64_t value = 0;
    for (std::uint8_t byte : field) value = value << 8 | byte;
    const auto field_bits = static_cast<std::uint32_t>(8 * field.size());
    // (An empty field is all zeros: no shift by 64.)
    if (field_bits != 0 && field_bits < bits) value <<= bits - field_bits;
    return value;
}

// Writes the fields of one packet, in the order they come, into a packet that
// starts as zero bytes; the result is exactly that of place_word and
// place_field called field by field (later fields win where fields overlap).
//
// While every field starts at or after the furthest end written so far (the
// usual recipe), the bits a field covers are still zero, so a numeric field
// is OR-ed into one native word held here, standing for packet bits
// [64k, 64k + 64), which is written out once when a field moves past it.
// Placing each field straight into bytes would load eight bytes through the
// previous field's store at another address, which the processor cannot
// forward (a stall per field).  Text and raw bytes of up to eight bytes are
// numbers here too; longer ones go straight into the packet: their bits and
// the held word's are disjoint, and the word is OR-ed in.  The first field that starts before the furthest end writes the held
// word out, and every field from then on is placed directly.
//
// Every field must end at or before bit 2^64 - 1 (field_end checks it).
class PacketWriter {
  public:
    explicit PacketWriter(std::span<std::uint8_t> packet) noexcept : packet_(packet) {}
    PacketWriter(const PacketWriter&) = delete;
    PacketWriter& operator=(const PacketWriter&) = delete;

    // As place_word: the low `bits` bits of `value` (bits <= 64) at `start`.
    BITLOOM_ALWAYS_INLINE void place_number(std::uint64_t value, std::uint64_t start,
                                            std::uint32_t bits) noexcept {
        if (bits == 0) return;
        if (!in_order_ || start < furthest_end_) {
            leave_order();
            place_word(packet_, value, start, bits);
            return;
        }
        furthest_end_ = start + bits;
        value &= low_mask(bits);
        const std::uint64_t index = start / 64;
        const unsigned offset = static_cast<unsigned>(start % 64);
        if (index != word_index_) {
            write_word();
            word_index_ = index;
            word_ = 0;
        }
        if (offset + bits <= 64) {
            word_ |= value << (64 - offset - bits);
            return;
        }
        const unsigned spill = offset + bits - 64;  // 1..63
        word_ |= value >> spill;
        write_word();
        word_index_ = index + 1;
        word_ = value << (64 - spill);
    }
    // As place_field.
    void place_bytes(std::span<const std::uint8_t> field, std::uint64_t start,
                     std::uint32_t bits) noexcept {
        if (bits == 0) return;
        if (bits <= 64 && field.size() <= 8) {
            place_number(field_bytes_number(field, bits), start, bits);
            return;
        }
        if (!in_order_ || start < furthest_end_) {
            leave_order();
        } else {
            furthest_end_ = start + bits;
        }
        place_field(packet_, field, start, bits);
    }
    // Writes out the held word; call once after the last field.
    void finish() noexcept { leave_order(); }

  private:
    void leave_order() noexcept {
        if (!in_order_) return;
        write_word();
        in_order_ = false;
    }
    // ORs the held word into its eight bytes, or into those of them that lie
    // inside the packet.
    void write_word() noexcept;

    std::span<std::uint8_t> packet_;
    std::uint64_t furthest_end_ = 0;
    std::uint64_t word_index_ = 0;
    std::uint64_t word_ = 0;
    bool in_order_ = true;
};

}  // namespace bitloom
