// The field codecs of compiled recipes on the interpreter's side.  Every
// field is bound once, at construction, to its row of the engine's
// field-codec table (engine/field_codecs.hpp): packing converts and encodes
// through the row, parsing a frame decodes through it, so the frame codec
// makes no per-codec choice of its own.  What it adds is placement at any
// bit position (frames/frame_field.hpp) and its refusal of values that do
// not fit their field.
#pragma once

#include <Python.h>

#include <bit>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/field_codecs.hpp"
#include "frames/frame_field.hpp"
#include "python/results.hpp"

namespace bitloom::frames {

// The codecs a frame runs in line, for values whose conversion is a read of
// the object: an exact int of up to 64 signed bits for unsigned and two's
// complement fields, an exact float for binary32 and binary64 ones.  A lane
// computes what its row computes (the same pattern, the same result object)
// without the row's two calls; every other value, and every value the codec
// refuses, goes to the row, which raises the codec's own error.
enum class FieldLane : std::uint8_t { unsigned_integer, twos_complement, float32, float64, row };

// A compiled field with its row and the row's view of its parameters.
struct BoundField {
    FrameField layout;
    FieldParameters parameters;
    const FieldCodecRow* row = nullptr;
    FieldLane lane = FieldLane::row;
    // Integer lanes: a value v fits when v + lane_bias <= lane_limit, in
    // 64-bit unsigned arithmetic (negative values wrap past the limit).
    std::uint64_t lane_bias = 0;
    std::uint64_t lane_limit = 0;
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
    switch (field.lane) {
        case FieldLane::unsigned_integer:
        case FieldLane::twos_complement: {
            if (!PyLong_CheckExact(value)) return false;
            auto* number = reinterpret_cast<PyLongObject*>(value);
            if (PyUnstable_Long_IsCompact(number)) {
                pattern = static_cast<std::uint64_t>(PyUnstable_Long_CompactValue(number));
            } else {
                // An exact int reads without running Python code; one beyond
                // 64 signed bits is only told by `overflow`.
                int overflow = 0;
                const long long read = PyLong_AsLongLongAndOverflow(value, &overflow);
                if (overflow != 0) return false;
                pattern = static_cast<std::uint64_t>(read);
            }
            if (pattern + field.lane_bias > field.lane_limit) return false;
            break;
        }
        case FieldLane::float32:
            if (!PyFloat_CheckExact(value)) return false;
            pattern = std::bit_cast<std::uint32_t>(static_cast<float>(PyFloat_AS_DOUBLE(value)));
            break;
        case FieldLane::float64:
            if (!PyFloat_CheckExact(value)) return false;
            pattern = std::bit_cast<std::uint64_t>(PyFloat_AS_DOUBLE(value));
            break;
        case FieldLane::row: return false;
    }
    placed = placed_bits(field.layout, pattern);
    return true;
}

// The Python value of a field value (byte order and reversal undone) in the
// field's lane, which must not be the row.
inline PyObject* decode_in_lane(const BoundField& field, std::uint64_t pattern) {
    switch (field.lane) {
        case FieldLane::unsigned_integer: return to_python(pattern);
        case FieldLane::twos_complement:
            // Lanes hold fields of 1 to 64 bits: the sign bit is bit bits - 1.
            if (bit_is_set(pattern, field.layout.bits - 1)) pattern |= ~low_mask(field.layout.bits);
            return PyLong_FromLongLong(as_signed(pattern));
        case FieldLane::float32:
            return PyFloat_FromDouble(
                static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(pattern))));
        case FieldLane::float64: return PyFloat_FromDouble(std::bit_cast<double>(pattern));
        case FieldLane::row: break;
    }
    return field.row->decode(pattern, {}, field.parameters);
}

// Writes an encoded field into a frame whose bit 0 is bit `frame_start` of
// `frame`.
inline void write_field(const FrameField& field, const EncodedField& encoded,
                        std::span<std::uint8_t> frame, std::uint64_t frame_start) noexcept {
    const std::uint64_t start = frame_start + field.start;
    if (is_numeric(field.kind)) {
        place_word(frame, encoded.bits, start, field.bits);
        return;
    }
    write_bytes(frame, start, field.bits, encoded.bytes);
}

// The Python value of the field of the frame whose bit 0 is bit
// `frame_start` of `data`, or null with the decoder's exception set.
PyObject* field_to_python(const BoundField& field, std::span<const std::uint8_t> data,
                          std::uint64_t frame_start);

// The Python value (str or bytes) of a text or raw-bytes field.
PyObject* field_bytes_to_python(const BoundField& field, std::span<const std::uint8_t> data,
                                std::uint64_t frame_start);

}  // namespace bitloom::frames
