// The field codecs of compiled recipes on the interpreter's side: a Python
// value converted and encoded into what a field writes, and what a field
// holds turned back into a Python value.  Every per-codec choice of the
// frame codec is made here (packing) or in frames/frame_field.cpp (the pure
// decoding), so the rest of the engine never looks at a codec itself.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <vector>

#include "frames/frame_field.hpp"

namespace bitloom::frames {

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
bool encode_value(const FrameField& field, PyObject* value, std::vector<std::uint8_t>& scratch,
                  EncodedField& out);

// Writes an encoded field into a frame whose bit 0 is bit `frame_start` of
// `frame`.
void write_field(const FrameField& field, const EncodedField& encoded, std::span<std::uint8_t> frame,
                 std::uint64_t frame_start) noexcept;

// A Python int or float from a numeric column slot.
PyObject* slot_to_python(ColumnKind kind, std::uint64_t slot);

// The Python value of a text (str) or raw-bytes (bytes) field, or null with
// the decoder's exception set.
PyObject* field_bytes_to_python(const FrameField& field, std::span<const std::uint8_t> data,
                                std::uint64_t frame_start);

}  // namespace bitloom::frames
