// Compiled recipe fields: where a field lies in its frame and how its bits
// are read and written, with no interpreter in sight.
//
// Bits are numbered as in packets: bit 0 of a frame is the most significant
// bit of its first byte.  A field is the bits [start, start + bits) of the
// frame, read as one number whose first bit is the most significant.  What a
// numeric field holds there is its codec's pattern after the packing
// transformations: the low `bits` bits reversed when "reverse_bits" is set,
// then, for "little", the whole bytes in reverse order.  Reading undoes them
// in the opposite order, so a field reads back exactly what packing wrote at
// any bit position.
//
// Two more arrangements of a numeric field's bytes replace the byte order:
// a permutation of its bytes (permutation[] below; "3412" reads the bytes
// 11 22 33 44 as 0x33441122), and "lsb_first", where the
// field's bits are cut at the frame's byte boundaries and the pieces are
// taken least significant first (the last piece, in the byte where the
// field ends, holds the value's top bits).
//
// A "little_lsb0" field numbers its bits the other way, as a CAN database
// numbers a little-endian (Intel) signal and as C compilers on little-endian
// machines lay out bit fields: bit 8 * j + b of the frame is the bit of
// weight 2^b in frame byte j (b = 0 is the byte's least significant bit),
// and the field is the bits [start, start + bits) of that numbering, the
// value's least significant bit first.  Its `start` is in that numbering;
// the frame bytes it touches are the same in both (start / 8 onwards).  In
// the numbering above it is up to three runs: the top of its first byte,
// whole bytes, the bottom of its last byte.
//
// An array field is `count` elements of `bits` each, one after the other
// from `start`; element k is the field element(k) describes, alone.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/bits.hpp"
#include "core/codec_result.hpp"
#include "core/text_codecs.hpp"
#include "recipe/encoding_names.hpp"
#include "recipe/field_slots.hpp"
#include "frames/bit_window.hpp"

namespace bitloom::frames {

// The type of a field's values in a column of many frames; a numeric kind
// is the SlotType of the same name.
enum class ColumnKind : std::uint8_t { int64, uint64, float64, text, raw_bytes };

// How a numeric field's bytes are arranged beyond reversal: by `order`,
// by a permutation of its bytes, least significant piece first, or with
// each byte's bits numbered from its least significant (little_lsb0).
enum class Arrangement : std::uint8_t { by_order, permuted, lsb_first, little_lsb0 };

constexpr SlotType slot_type(ColumnKind kind) noexcept { return static_cast<SlotType>(kind); }

struct FrameField {
    std::uint64_t start = 0;  // first bit, counted from the start of the frame
    std::uint32_t bits = 0;
    FieldCodec codec = FieldCodec::unsigned_integer;
    ColumnKind kind = ColumnKind::uint64;  // column_kind(codec)
    const FieldSlot* slot = nullptr;       // field_slot(codec): numeric fields but binary128
    TextCodec text = TextCodec::utf8;
    ByteOrder order = ByteOrder::big;
    bool reverse = false;
    Arrangement arrangement = Arrangement::by_order;  // not by_order: order is big
    // lsb_first: the field's bits in the frame byte where it ends (1..8).
    std::uint8_t end_phase = 8;
    // permuted: the value's byte k (most significant first) is the field's
    // byte permutation[k] (0 first); bits / 8 entries.
    std::uint8_t permutation[8] = {};
    // Elements of an array field (numeric only); 0 for a field of one value.
    std::uint32_t count = 0;

    // Bits of the whole field: every element of an array.
    std::uint64_t total_bits() const noexcept { return std::uint64_t{bits} * (count == 0 ? 1 : count); }
    // little_lsb0: the end of its last byte, where the next byte begins.
    std::uint64_t end() const noexcept {
        if (arrangement == Arrangement::little_lsb0) return (start + total_bits() + 7) / 8 * 8;
        return start + total_bits();
    }
    // The same field starting at bit `to` of its frame (an array's first
    // element there): where lsb_first pieces are cut follows it.
    FrameField at(std::uint64_t to) const noexcept {
        FrameField moved = *this;
        moved.start = to;
        const auto phase = static_cast<unsigned>((to + bits) % 8);
        moved.end_phase = static_cast<std::uint8_t>(phase == 0 ? 8 : phase);
        return moved;
    }
    // Element k of an array as a field of one value: its start, and the
    // frame byte where it ends (end_phase holds element 0's).
    FrameField element(std::uint64_t k) const noexcept {
        FrameField one = *this;
        one.count = 0;
        one.start = start + k * bits;
        const auto phase = static_cast<unsigned>((end_phase % 8 + k * bits) % 8);
        one.end_phase = static_cast<std::uint8_t>(phase == 0 ? 8 : phase);
        return one;
    }
    // Whole bytes a text or raw-bytes value occupies.
    std::size_t byte_count() const noexcept { return (std::size_t{bits} + 7) / 8; }
};

ColumnKind column_kind(FieldCodec codec) noexcept;

constexpr bool is_numeric(ColumnKind kind) noexcept {
    return kind == ColumnKind::int64 || kind == ColumnKind::uint64 || kind == ColumnKind::float64;
}

// Bits [start, start + bits) of `data` (bits <= 64), first bit most
// significant.  The caller guarantees start + bits <= 8 * data.size(); no
// byte outside `data` is read.
std::uint64_t read_bits_near_end(std::span<const std::uint8_t> data, std::uint64_t start,
                                 std::uint32_t bits) noexcept;

inline std::uint64_t read_bits(std::span<const std::uint8_t> data, std::uint64_t start,
                               std::uint32_t bits) noexcept {
    const std::size_t first = static_cast<std::size_t>(start / 8);
    if (bits != 0 && data.size() - first >= 9) {
        return extract_field(load_big_endian(data.data() + first), data[first + 8],
                             static_cast<unsigned>(start % 8), bits);
    }
    return read_bits_near_end(data, start, bits);
}

// The bits a numeric field writes for its codec's pattern, and the pattern
// that bits read back from a field stand for: reversal and byte order
// applied, or undone.  Little-endian fields wider than a byte are whole
// bytes (the codec refuses the others), so swapping the word and dropping
// the bytes below the field reverses exactly its bytes.
// The bits of an arranged field (permuted or lsb_first) from the value's
// bits, or back (`to_value`).
std::uint64_t arrange_bits(const FrameField& field, std::uint64_t bits, bool to_value) noexcept;

inline std::uint64_t placed_bits(const FrameField& field, std::uint64_t pattern) noexcept {
    std::uint64_t bits = field.reverse ? reverse_low_bits(pattern, field.bits)
                                       : pattern & low_mask(field.bits);
    if (field.arrangement == Arrangement::little_lsb0) return bits;
    if (field.arrangement != Arrangement::by_order) return arrange_bits(field, bits, false);
    if (field.order == ByteOrder::little && field.bits > 8) {
        bits = byte_swap64(bits) >> (64 - field.bits);
    }
    return bits;
}

inline std::uint64_t pattern_of(const FrameField& field, std::uint64_t placed) noexcept {
    if (field.arrangement == Arrangement::little_lsb0) {
        // Read and written whole (lsb0_pieces): the value's bits in order.
    } else if (field.arrangement != Arrangement::by_order) {
        placed = arrange_bits(field, placed, true);
    } else if (field.order == ByteOrder::little && field.bits > 8) {
        placed = byte_swap64(placed) >> (64 - field.bits);
    }
    return field.reverse ? reverse_low_bits(placed, field.bits) : placed;
}

// The runs of a little_lsb0 field, one per frame byte it touches, each as
// `visit(frame_bit, bits, value_shift)`: `bits` bits from `frame_bit`
// (counted from the frame's first bit, most significant first) that hold
// the value's bits from `value_shift` up.  First byte first.
template <class Visit>
inline void lsb0_pieces(const FrameField& field, Visit&& visit) noexcept {
    std::uint64_t bit = field.start;  // in the field's own numbering
    const std::uint64_t end = field.start + field.bits;
    unsigned value_shift = 0;
    while (bit < end) {
        const auto low = static_cast<unsigned>(bit % 8);
        const auto count = static_cast<unsigned>(std::min<std::uint64_t>(8 - low, end - bit));
        // The bits of weight 2^low .. 2^(low + count - 1) of byte bit / 8.
        visit(bit / 8 * 8 + (8 - low - count), count, value_shift);
        value_shift += count;
        bit += count;
    }
}

// The bits a field holds in the frame whose bit 0 is bit `frame_start` of
// `data` (placed bits: pattern_of turns them into the codec's pattern).
inline std::uint64_t read_placed(const FrameField& field, std::span<const std::uint8_t> data,
                                 std::uint64_t frame_start) noexcept {
    if (field.arrangement != Arrangement::little_lsb0) {
        return read_bits(data, frame_start + field.start, field.bits);
    }
    std::uint64_t value = 0;
    lsb0_pieces(field, [&](std::uint64_t bit, unsigned count, unsigned shift) {
        value |= read_bits(data, frame_start + bit, count) << shift;
    });
    return value;
}

// Decodes the numeric field `field` of the frame whose bit 0 is bit
// `frame_start` of `data` into its 8-byte column slot (an int64, uint64 or
// double by column_kind).  The frame must hold the field.  False, with
// `error` set, for a pattern the codec refuses (a BCD digit above 9).
bool decode_number(const FrameField& field, std::span<const std::uint8_t> data,
                   std::uint64_t frame_start, std::uint64_t& slot, CodecError& error);

// The whole bytes of a text or raw-bytes field (byte_count() of them, the
// field's bits right-aligned, spare leading bits zero), with byte order and
// bit reversal undone: exactly the bytes packing started from.
void read_field_bytes(const FrameField& field, std::span<const std::uint8_t> data,
                      std::uint64_t frame_start, std::span<std::uint8_t> out) noexcept;

}  // namespace bitloom::frames
