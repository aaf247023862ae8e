// The field-codec table: one row per field codec, used by every engine that
// packs or parses fields (the packet builder, the packet parser, and compiled
// recipes, which resolve a row once per field and then call it per frame).
//
// A row never sees a recipe item.  Its entry points take the field's plain
// parameters, resolved by the caller (FieldParameters: the codec selection,
// the width, the byte order and the bit reversal), and a row call does
// exactly one step of the documented order:
//
//   packing:  convert(value object)      the value's conversion for this codec
//                                        (may run the object's own Python code:
//                                        __index__, __float__, a sequence's
//                                        items)
//             encode(converted value)    the codec itself, the "Value {} is too
//                                        large" check and the field bytes
//                                        (numeric values right-aligned in
//                                        ceil(bits / 8) bytes, as one word,
//                                        bit-reversed if asked; text as the
//                                        codec's bytes), all before byte order
//             word_in_order(...)         then place_word, or apply_byte_order
//                                        then place_field (recipe/placement.hpp)
//   parsing:  decode(field value, field buffer)
//                                        the Python value of a field: numeric
//                                        codecs take the field value
//                                        (recipe/field_window.hpp), text and
//                                        raw-byte codecs the field buffer (the
//                                        window in byte order)
//
// Every entry returns false (or null) with the Python exception raised: a
// codec error of the codec's own, or the conversion's exception.  A new codec
// is one FieldCodec value in recipe/encoding_names.hpp, its names in the two
// name tables there, and one row here.
#pragma once

#include <Python.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>
#include <vector>

#include "core/bits.hpp"
#include "python/results.hpp"
#include "recipe/encoding_names.hpp"
#include "recipe/field_slots.hpp"
#include "recipe/placement.hpp"

namespace bitloom {

// A field's parameters, resolved from its recipe item (or a compiled recipe).
struct FieldParameters {
    FieldEncoding encoding{FieldCodec::unsigned_integer};
    std::uint32_t bits = 0;
    ByteOrder byte_order = ByteOrder::big;
    bool reverse_bits = false;
};

// What a row's decode reads.
enum class FieldInput : std::uint8_t {
    field_value,   // the numeric field value
    field_buffer,  // the field's bytes in byte order
};

// A value converted for its codec: the member named by the codec is set.
struct FieldValue {
    union {
        std::uint64_t unsigned_integer;
        std::int64_t signed_integer;
        float float32;
        double float64;
    };
    PyObject* text = nullptr;             // text codecs: the str, borrowed from the caller
    std::span<const std::uint8_t> bytes;  // raw bytes: in place or in `storage`
    std::vector<std::uint8_t> storage;    // raw bytes from a sequence of ints

    FieldValue() noexcept : unsigned_integer(0) {}
};

// The bytes of one field before placement: a numeric field's ceil(bits / 8)
// bytes as one big-endian number, or the bytes of text and raw bytes, held
// in (or viewed through) the caller's scratch buffer.
struct FieldBytes {
    std::uint64_t word = 0;         // numeric (is_integer): the bytes as one number
    std::uint32_t word_bytes = 0;   // numeric: how many bytes the word stands for
    std::span<const std::uint8_t> view;  // text and raw bytes
    bool is_integer = false;
};

// A numeric codec's pattern for a converted value, before it becomes
// bytes: false with the exception raised for a value the codec refuses.
using PatternEncoder = bool (*)(const FieldValue& value, const FieldParameters& field,
                                std::uint64_t& pattern);

struct FieldCodecRow {
    FieldCodec codec;
    FieldInput input;
    // True when converting this object cannot run Python code (an int for
    // the integer codecs, an exact float or int for the float codecs, an
    // exact str for text, bytes or bytearray for raw bytes): engines that
    // reuse what they read earlier in a call must read afresh after a
    // conversion for which this is false.
    bool (*converts_in_place)(PyObject* value);
    bool (*convert)(PyObject* value, const FieldParameters& field, FieldValue& out);
    // `scratch` is the caller's buffer, reused from field to field.
    bool (*encode)(const FieldValue& value, const FieldParameters& field,
                   std::vector<std::uint8_t>& scratch, FieldBytes& out);
    // A new reference to the field's Python value, or null.
    PyObject* (*decode)(std::uint64_t value, std::span<const std::uint8_t> buffer,
                        const FieldParameters& field);
    // Numeric codecs (null for text and raw bytes): the step of `encode`
    // before the bytes, for engines that place the pattern themselves.
    PatternEncoder encode_pattern = nullptr;
};

const FieldCodecRow& field_codec_row(FieldCodec codec) noexcept;

// The rows that engines can run in line, for the values whose conversion is
// a plain read of the object: an exact int of up to 64 signed bits for
// unsigned and two's complement fields, an exact float for binary32 and
// binary64 fields.  A lane computes exactly what its row computes (the same
// pattern, the same result object) without the row's calls; every other
// value, and every value the codec refuses, goes through the row, which
// raises the codec's own error.  An engine resolves a field's lane once and
// calls pattern_in_lane before the row's convert.
//
// Text has a lane for packing only: an exact ASCII str in a codec where
// ASCII is its own bytes, in a big-endian, unreversed field of 8 to 64 bits
// that holds it, is the field's bytes read as one big-endian number, the
// text from the field's first byte and zeros after it, as packing places
// text.
enum class LaneKind : std::uint8_t {
    unsigned_integer,
    twos_complement,
    float32,
    float64,
    ascii_text,
    row,
};

struct FieldLane {
    LaneKind kind = LaneKind::row;
    std::uint32_t bits = 0;
    // Integer lanes: a value v fits when v + bias <= limit in 64-bit unsigned
    // arithmetic (negative values wrap past the limit).
    std::uint64_t bias = 0;
    std::uint64_t limit = 0;
};

// The lane of a field of `bits` bits; LaneKind::row for the codecs and
// widths that have none.  In line: engines that resolve a field per item
// call it per item.
inline FieldLane field_lane(FieldCodec codec, std::uint32_t bits) noexcept {
    FieldLane lane;
    if (bits == 0 || bits > 64) return lane;
    lane.bits = bits;
    switch (codec) {
        case FieldCodec::unsigned_integer:
            lane.kind = LaneKind::unsigned_integer;
            // A 64-bit field takes every int of 64 signed bits that is not negative.
            lane.limit = std::min<std::uint64_t>(low_mask(bits), INT64_MAX);
            break;
        case FieldCodec::twos_complement:
            lane.kind = LaneKind::twos_complement;
            lane.bias = power_of_two(bits - 1);
            lane.limit = low_mask(bits);
            break;
        case FieldCodec::ieee754_f32:
            if (bits == 32) lane.kind = LaneKind::float32;
            break;
        case FieldCodec::ieee754_f64:
            if (bits == 64) lane.kind = LaneKind::float64;
            break;
        default: break;
    }
    return lane;
}
// The lane of any field, text included.
FieldLane field_lane(const FieldParameters& field) noexcept;

// The codec's pattern for `value` (the bits that encode_pattern gives), or
// false when the lane does not take the value; nothing is raised then.
inline bool pattern_in_lane(const FieldLane& lane, PyObject* value, std::uint64_t& pattern) noexcept {
    switch (lane.kind) {
        case LaneKind::unsigned_integer:
        case LaneKind::twos_complement: {
            if (!PyLong_CheckExact(value)) return false;
            auto* number = reinterpret_cast<PyLongObject*>(value);
            if (PyUnstable_Long_IsCompact(number)) {
                pattern = static_cast<std::uint64_t>(PyUnstable_Long_CompactValue(number));
            } else {
                // An exact int reads without running Python code; one beyond
                // 64 signed bits is told by `overflow` alone.
                int overflow = 0;
                const long long read = PyLong_AsLongLongAndOverflow(value, &overflow);
                if (overflow != 0) return false;
                pattern = static_cast<std::uint64_t>(read);
            }
            if (pattern + lane.bias > lane.limit) return false;
            pattern &= low_mask(lane.bits);
            return true;
        }
        case LaneKind::float32:
            if (!PyFloat_CheckExact(value)) return false;
            pattern = std::bit_cast<std::uint32_t>(static_cast<float>(PyFloat_AS_DOUBLE(value)));
            return true;
        case LaneKind::float64:
            if (!PyFloat_CheckExact(value)) return false;
            pattern = std::bit_cast<std::uint64_t>(PyFloat_AS_DOUBLE(value));
            return true;
        case LaneKind::ascii_text: {
            if (!PyUnicode_CheckExact(value) || !PyUnicode_IS_ASCII(value)) return false;
            const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(value));
            if (length * 8 > lane.bits) return false;
            pattern = field_bytes_number(
                {static_cast<const std::uint8_t*>(PyUnicode_DATA(value)), length}, lane.bits);
            return true;
        }
        case LaneKind::row: break;
    }
    return false;
}

// The Python value of the field value `pattern` (the field's bits with byte
// order and reversal undone) in a numeric lane: what the row's decode gives.
inline PyObject* value_in_lane(const FieldLane& lane, std::uint64_t pattern) {
    switch (lane.kind) {
        case LaneKind::unsigned_integer: return to_python(pattern);
        case LaneKind::twos_complement:
            // Lanes hold fields of 1 to 64 bits: the sign bit is bit bits - 1.
            if (bit_is_set(pattern, lane.bits - 1)) pattern |= ~low_mask(lane.bits);
            return to_python(as_signed(pattern));
        case LaneKind::float32:
            return PyFloat_FromDouble(
                static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(pattern))));
        case LaneKind::float64: return PyFloat_FromDouble(std::bit_cast<double>(pattern));
        case LaneKind::ascii_text:
        case LaneKind::row: break;
    }
    return nullptr;
}

// The Python int or float a decoded slot (recipe/field_slots.hpp) stands for.
PyObject* slot_to_python(SlotType type, std::uint64_t slot);

// A numeric field's word in `order`: "little" reverses its bytes.
inline std::uint64_t word_in_order(const FieldBytes& field, ByteOrder order) noexcept {
    if (order == ByteOrder::big || field.word_bytes == 0) return field.word;
    return byte_swap64(field.word) >> (64 - 8 * field.word_bytes);
}

// Text or raw bytes in `order`: "little" reverses the whole byte string (in
// `scratch`).
std::span<const std::uint8_t> apply_byte_order(std::span<const std::uint8_t> bytes, ByteOrder order,
                                               std::vector<std::uint8_t>& scratch);

}  // namespace bitloom
