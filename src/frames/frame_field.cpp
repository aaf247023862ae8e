// Reading and writing compiled fields.  A field of up to 64 bits at any bit
// position touches at most nine bytes; where eight bytes can be loaded at
// once without passing the end of the data, one big-endian word (plus the
// ninth byte when the field needs it) gives the field with two shifts.
// Near the end of the data the bytes are gathered into a zeroed window
// first, so nothing past the end is ever read.
#include "frames/frame_field.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "core/bits.hpp"
#include "codecs/decoder/ieee754.hpp"
#include "frames/bit_window.hpp"
#include "recipe/placement.hpp"

namespace bitloom::frames {

namespace {

std::uint64_t float_slot(double value) noexcept { return std::bit_cast<std::uint64_t>(value); }

}  // namespace

static_assert(slot_type(ColumnKind::int64) == SlotType::int64 &&
              slot_type(ColumnKind::uint64) == SlotType::uint64 &&
              slot_type(ColumnKind::float64) == SlotType::float64);

ColumnKind column_kind(FieldCodec codec) noexcept {
    if (const FieldSlot* slot = field_slot(codec)) return static_cast<ColumnKind>(slot->type);
    switch (codec) {
        case FieldCodec::ieee754_f128: return ColumnKind::float64;
        case FieldCodec::text: return ColumnKind::text;
        default: return ColumnKind::raw_bytes;
    }
}

std::uint64_t read_bits_near_end(std::span<const std::uint8_t> data, std::uint64_t start,
                                 std::uint32_t bits) noexcept {
    if (bits == 0) return 0;
    // Fewer than nine bytes are left: copy those the field touches.
    const std::size_t first = static_cast<std::size_t>(start / 8);
    const unsigned shift = static_cast<unsigned>(start % 8);
    std::uint8_t window[9] = {};
    const std::size_t touched = (shift + std::size_t{bits} + 7) / 8;
    std::memcpy(window, data.data() + first, std::min(touched, data.size() - first));
    return extract_field(load_big_endian(window), window[8], shift, bits);
}

std::uint64_t arrange_bits(const FrameField& field, std::uint64_t bits, bool to_value) noexcept {
    const std::uint32_t width = field.bits;
    std::uint64_t out = 0;
    if (field.arrangement == Arrangement::permuted) {
        // Byte k of the value, most significant first, is the field's byte
        // permutation[k]; bytes are counted from the field's start.
        const std::uint32_t count = width / 8;
        for (std::uint32_t k = 0; k < count; ++k) {
            const unsigned value_shift = 8 * (count - 1 - k);
            const unsigned field_shift = 8 * (count - 1 - field.permutation[k]);
            if (to_value) {
                out |= ((bits >> field_shift) & 0xFFu) << value_shift;
            } else {
                out |= ((bits >> value_shift) & 0xFFu) << field_shift;
            }
        }
        return out;
    }
    // lsb_first: the pieces of the field, from its end back to its start
    // (end_phase bits, then eight at a time, then what is left), are the
    // value's bits from its most significant end down.
    std::uint32_t field_low = 0;         // where the piece lies in the field's bits
    std::uint32_t value_high = width;    // where it lies in the value's bits (its top)
    std::uint32_t piece = std::min<std::uint32_t>(field.end_phase, width);
    while (value_high != 0) {
        const std::uint32_t value_low = value_high - piece;
        if (to_value) {
            out |= ((bits >> field_low) & low_mask(piece)) << value_low;
        } else {
            out |= ((bits >> value_low) & low_mask(piece)) << field_low;
        }
        field_low += piece;
        value_high = value_low;
        piece = std::min<std::uint32_t>(8, value_high);
    }
    return out;
}

bool decode_number(const FrameField& field, std::span<const std::uint8_t> data,
                   std::uint64_t frame_start, std::uint64_t& slot, CodecError& error) {
    const std::uint64_t start = frame_start + field.start;
    if (field.codec == FieldCodec::ieee754_f128) {
        // 128 bits: the two halves, each undone like a 64-bit field, swap
        // places under either transformation.
        std::uint64_t high = read_bits(data, start, 64);
        std::uint64_t low = read_bits(data, start + 64, 64);
        if (field.order == ByteOrder::little) {
            const std::uint64_t swapped_high = byte_swap64(low);
            low = byte_swap64(high);
            high = swapped_high;
        }
        if (field.reverse) {
            const std::uint64_t reversed_high = reverse_low_bits(low, 64);
            low = reverse_low_bits(high, 64);
            high = reversed_high;
        }
        slot = float_slot(decode_ieee754_f128(make_uint128(high, low)));
        return true;
    }
    if (!field.slot) {
        error = CodecError{ErrorKind::value_error, "the field is not numeric"};
        return false;
    }
    return field.slot->decode(pattern_of(field, read_placed(field, data, frame_start)), field.bits, slot,
                              error);
}

void read_field_bytes(const FrameField& field, std::span<const std::uint8_t> data,
                      std::uint64_t frame_start, std::span<std::uint8_t> out) noexcept {
    const std::size_t count = out.size();
    if (count == 0) return;
    const std::uint64_t start = frame_start + field.start;
    const unsigned spare = static_cast<unsigned>(count * 8 - field.bits);
    if (start % 8 == 0 && spare == 0) {
        std::memcpy(out.data(), data.data() + start / 8, count);
    } else {
        // Byte 0 takes the field's first 8 - spare bits; then eight bytes
        // at a time.
        out[0] = static_cast<std::uint8_t>(read_bits(data, start, 8 - spare));
        std::uint64_t bit = start + 8 - spare;
        std::size_t k = 1;
        for (; k + 8 <= count; k += 8, bit += 64) store_big_endian(out.data() + k, read_bits(data, bit, 64));
        for (; k < count; ++k, bit += 8) out[k] = static_cast<std::uint8_t>(read_bits(data, bit, 8));
    }
    if (field.order == ByteOrder::little) std::reverse(out.begin(), out.end());
    if (field.reverse && field.codec == FieldCodec::raw_bytes) reverse_trailing_bits(out, field.bits);
}

}  // namespace bitloom::frames
