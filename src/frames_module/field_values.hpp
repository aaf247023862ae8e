// The field codecs of compiled recipes on the interpreter's side.  Every
// field is bound once, at construction, to its row of the engine's
// field-codec table (engine/field_codecs.hpp): packing converts and encodes
// through the row, parsing a frame decodes through it, so the frame codec
// makes no per-codec choice of its own.  What it adds is placement at any
// bit position (frames/frame_field.hpp) and its refusal of values that do
// not fit their field.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <vector>

#include "engine/field_codecs.hpp"
#include "frames/frame_field.hpp"

namespace bitloom::frames {

// A compiled field with its row and the row's view of its parameters.
struct BoundField {
    FrameField layout;
    FieldParameters parameters;
    const FieldCodecRow* row = nullptr;
    FieldLane lane;  // the row's in-line lane for this width
    bool strip_padding = false;  // text: trailing U+0000 dropped when read
    // A single number of a numeric lane whose bits, as they lie, are its
    // pattern: in big-endian order (or one byte), neither arranged nor
    // reversed.  Most fields of a frame are; they are read in line.
    bool plain_number = false;
};

// Resolves the row and the pure slot decoder of `layout`'s codec.
BoundField bind_field(const FrameField& layout, const FieldEncoding& encoding) noexcept;

// What one field writes into a frame: a numeric field's bits (already
// reversed and byte-ordered), or a text or raw-bytes field's bytes in their
// final order, placed from the field's first bit.
struct EncodedField {
    std::uint64_t bits = 0;
    std::span<const std::uint8_t> bytes;
};

// Converts `value` as the field's codec takes it and encodes it.  `scratch`
// may hold the bytes that `out.bytes` points to.  False with the exception
// set (its message does not name the field yet).
bool encode_value(const BoundField& field, PyObject* value, std::vector<std::uint8_t>& scratch,
                  EncodedField& out);

// The bits the field's lane writes for `value`, or false when the value is
// not one the lane takes (nothing is raised: the row is the way on).
inline bool encode_in_lane(const BoundField& field, PyObject* value, std::uint64_t& placed) noexcept {
    std::uint64_t pattern = 0;
    if (!pattern_in_lane(field.lane, value, pattern)) return false;
    placed = placed_bits(field.layout, pattern);
    return true;
}

// The Python value of a numeric field value (byte order and reversal
// undone): through the lane, or the row.
inline PyObject* decode_in_lane(const BoundField& field, std::uint64_t pattern) {
    if (field.lane.kind != LaneKind::row && field.lane.kind != LaneKind::ascii_text) {
        return value_in_lane(field.lane, pattern);
    }
    return field.row->decode(pattern, {}, field.parameters);
}

// Places a numeric field's placed bits into the frame being packed (a
// little_lsb0 field a piece per frame byte, first byte first).
inline void place_field_number(const FrameField& field, std::uint64_t placed, PacketWriter& frame) noexcept {
    if (field.arrangement != Arrangement::little_lsb0) {
        frame.place_number(placed, field.start, field.bits);
        return;
    }
    lsb0_pieces(field, [&](std::uint64_t bit, unsigned count, unsigned shift) {
        frame.place_number(placed >> shift, bit, count);
    });
}

// Writes an encoded field into the frame being packed.
inline void write_field(const FrameField& field, const EncodedField& encoded,
                        PacketWriter& frame) noexcept {
    if (is_numeric(field.kind)) {
        place_field_number(field, encoded.bits, frame);
        return;
    }
    frame.place_bytes(encoded.bytes, field.start, field.bits);
}

// field_to_python for a plain_number field, in line.
inline PyObject* plain_number_to_python(const BoundField& field, std::span<const std::uint8_t> data,
                                        std::uint64_t frame_start) {
    return value_in_lane(field.lane, read_bits(data, frame_start + field.layout.start, field.layout.bits));
}

// The Python value of the field of the frame whose bit 0 is bit
// `frame_start` of `data`, or null with the decoder's exception set.
PyObject* field_to_python(const BoundField& field, std::span<const std::uint8_t> data,
                          std::uint64_t frame_start);

// The elements of an array field as a list, or null with the decoder's
// exception set and `failed` the element that raised it.
PyObject* array_to_python(const BoundField& field, std::span<const std::uint8_t> data,
                          std::uint64_t frame_start, std::uint64_t& failed);

// The Python value (str or bytes) of a text or raw-bytes field.
PyObject* field_bytes_to_python(const BoundField& field, std::span<const std::uint8_t> data,
                                std::uint64_t frame_start);

}  // namespace bitloom::frames
