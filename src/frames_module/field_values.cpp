// Packing a value into a compiled field, and field contents back into
// Python values.  Values are converted exactly as the recipe engine
// converts an item's "value", and the same codec routines encode them, so a
// compiled recipe writes the very bits that pack_parameters writes.  What
// differs is that nothing is dropped silently: a text or raw-bytes value
// longer than its field is refused instead of losing its leading bytes.
#include "frames_module/field_values.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/bits.hpp"
#include "core/message.hpp"
#include "codecs/encoder/bcd.hpp"
#include "codecs/encoder/ieee754.hpp"
#include "codecs/encoder/integer.hpp"
#include "recipe/placement.hpp"
#include "engine/recipe_items.hpp"
#include "python/conversions.hpp"
#include "python/errors.hpp"
#include "python/text_objects.hpp"

namespace bitloom::frames {

namespace {

bool fail(const CodecError& error) {
    raise_codec_error(error);
    return false;
}

bool numeric(const FrameField& field, Result<std::uint64_t> pattern, EncodedField& out) {
    if (!pattern) return fail(pattern.error());
    out.bits = placed_bits(field, pattern.value());
    return true;
}

bool encode_signed(const FrameField& field, PyObject* value,
                   Result<std::uint64_t> (*encode)(std::int64_t, std::uint32_t), EncodedField& out) {
    std::int64_t number = 0;
    return convert_int64(value, number) && numeric(field, encode(number, field.bits), out);
}

bool encode_bcd(const FrameField& field, PyObject* value,
                Result<std::uint64_t> (*encode)(std::int64_t, std::uint32_t, bool), bool is_signed,
                EncodedField& out) {
    std::int64_t number = 0;
    return convert_int64(value, number) && numeric(field, encode(number, field.bits, is_signed), out);
}

[[gnu::cold]] bool refuse_long_value(const char* what, std::size_t size, const FrameField& field) {
    return fail(make_error(ErrorKind::value_error, "{} of {} bytes does not fit in {} bits",
                           {what, std::uint64_t{size}, field.bits}));
}

// The field bytes of a text value: its encoded bytes, which may be shorter
// than the field (the rest of the field stays zero) but not longer.
bool encode_text(const FrameField& field, PyObject* value, std::vector<std::uint8_t>& scratch,
                 EncodedField& out) {
    if (!PyUnicode_Check(value)) {
        raise_cannot_cast(value, "str");
        return false;
    }
    const bool ascii_is_its_bytes = field.text == TextCodec::utf8 ||
                                    field.text == TextCodec::us_ascii ||
                                    field.text == TextCodec::iso_8859_1 ||
                                    field.text == TextCodec::windows_1252;
    if (ascii_is_its_bytes && PyUnicode_IS_ASCII(value)) {
        // ASCII text is its own bytes in these codecs: read in place.
        out.bytes = {static_cast<const std::uint8_t*>(PyUnicode_DATA(value)),
                     static_cast<std::size_t>(PyUnicode_GET_LENGTH(value))};
    } else if (field.text == TextCodec::utf8) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(value, &size);
        if (!data) return false;
        out.bytes = {reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)};
    } else {
        if (!encode_text_field(field.text, value, scratch)) return false;
        out.bytes = scratch;
    }
    if (out.bytes.size() > field.byte_count()) {
        return refuse_long_value("Text", out.bytes.size(), field);
    }
    if (field.order == ByteOrder::little && !out.bytes.empty()) {
        if (out.bytes.data() != scratch.data()) scratch.assign(out.bytes.begin(), out.bytes.end());
        std::reverse(scratch.begin(), scratch.end());
        out.bytes = scratch;
    }
    return true;
}

// Raw bytes are right-aligned in the field's whole bytes; a value with more
// bytes, or with bits set above the field's width, would lose them.
bool encode_raw(const FrameField& field, PyObject* value, std::vector<std::uint8_t>& scratch,
                EncodedField& out) {
    std::vector<std::uint8_t> converted;
    std::span<const std::uint8_t> data;
    if (!convert_byte_list(value, converted, data)) return false;
    const std::size_t count = field.byte_count();
    const unsigned spare = static_cast<unsigned>(count * 8 - field.bits);
    if (data.size() > count) return refuse_long_value("A value", data.size(), field);
    if (data.size() == count && count > 0 && (data[0] >> (8 - spare)) != 0) {
        return fail(make_error(ErrorKind::value_error,
                               "Value has bits set above its {} bits (first byte 0x{})",
                               {field.bits, to_hex(data[0], 2)}));
    }
    encode_binary_to_bytes(data, field.bits, field.reverse, scratch);
    if (field.order == ByteOrder::little) std::reverse(scratch.begin(), scratch.end());
    out.bytes = scratch;
    return true;
}

}  // namespace

bool encode_value(const FrameField& field, PyObject* value, std::vector<std::uint8_t>& scratch,
                  EncodedField& out) {
    switch (field.codec) {
        case FieldCodec::unsigned_integer: {
            std::uint64_t number = 0;
            if (!convert_uint64(value, number)) return false;
            if (field.bits < 64 && number >= power_of_two(field.bits)) {
                return fail(make_error(ErrorKind::value_error, "Value {} is too large for {} bits",
                                       {number, field.bits}));
            }
            out.bits = placed_bits(field, number);
            return true;
        }
        case FieldCodec::twos_complement: return encode_signed(field, value, encode_twos_complement, out);
        case FieldCodec::ones_complement: return encode_signed(field, value, encode_ones_complement, out);
        case FieldCodec::sign_magnitude: return encode_signed(field, value, encode_sign_magnitude, out);
        case FieldCodec::unpacked_bcd: return encode_bcd(field, value, encode_unpacked_bcd, false, out);
        case FieldCodec::unpacked_bcd_signed: return encode_bcd(field, value, encode_unpacked_bcd, true, out);
        case FieldCodec::packed_bcd: return encode_bcd(field, value, encode_packed_bcd, false, out);
        case FieldCodec::packed_bcd_signed: return encode_bcd(field, value, encode_packed_bcd, true, out);
        case FieldCodec::ieee754_f16: {
            float number = 0;
            if (!convert_float32(value, number)) return false;
            out.bits = placed_bits(field, encode_ieee754_f16(number));
            return true;
        }
        case FieldCodec::ieee754_f32: {
            float number = 0;
            if (!convert_float32(value, number)) return false;
            out.bits = placed_bits(field, std::bit_cast<std::uint32_t>(number));
            return true;
        }
        case FieldCodec::ieee754_f64: {
            double number = 0;
            if (!convert_float64(value, number)) return false;
            out.bits = placed_bits(field, std::bit_cast<std::uint64_t>(number));
            return true;
        }
        case FieldCodec::ieee754_f128: {
            double number = 0;
            if (!convert_float64(value, number)) return false;
            Result<std::uint64_t> refused = encode_ieee754_f128(number);
            return refused ? fail(make_error(ErrorKind::value_error, "binary128 was encoded"))
                           : fail(refused.error());
        }
        case FieldCodec::text: return encode_text(field, value, scratch, out);
        case FieldCodec::raw_bytes: return encode_raw(field, value, scratch, out);
        case FieldCodec::reserved: break;
    }
    raise_internal_error("a field of a format without a codec was compiled");
    return false;
}

void write_field(const FrameField& field, const EncodedField& encoded, std::span<std::uint8_t> frame,
                 std::uint64_t frame_start) noexcept {
    const std::uint64_t start = frame_start + field.start;
    if (is_numeric(field.kind)) {
        write_bits(frame, start, field.bits, encoded.bits);
        return;
    }
    write_bytes(frame, start, field.bits, encoded.bytes);
}

PyObject* slot_to_python(ColumnKind kind, std::uint64_t slot) {
    switch (kind) {
        case ColumnKind::uint64: return PyLong_FromUnsignedLongLong(slot);
        case ColumnKind::int64: return PyLong_FromLongLong(as_signed(slot));
        case ColumnKind::float64: return PyFloat_FromDouble(std::bit_cast<double>(slot));
        case ColumnKind::text:
        case ColumnKind::raw_bytes: break;
    }
    raise_internal_error("a byte field reached the numeric conversion");
    return nullptr;
}

PyObject* field_bytes_to_python(const FrameField& field, std::span<const std::uint8_t> data,
                                std::uint64_t frame_start) {
    const std::size_t count = field.byte_count();
    const std::uint64_t start = frame_start + field.start;
    if (field.codec == FieldCodec::raw_bytes) {
        PyRef bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count)));
        if (!bytes) return nullptr;
        read_field_bytes(field, data, frame_start,
                         {reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())), count});
        return bytes.release();
    }
    // Text at a byte boundary in big-endian order is decoded where it lies.
    if (start % 8 == 0 && field.order == ByteOrder::big) {
        return decode_text_to_str(field.text, data.subspan(static_cast<std::size_t>(start / 8), count));
    }
    std::uint8_t small[256];
    std::vector<std::uint8_t> large;
    std::span<std::uint8_t> buffer(small, count);
    if (count > sizeof small) {
        large.resize(count);
        buffer = large;
    }
    read_field_bytes(field, data, frame_start, buffer);
    return decode_text_to_str(field.text, buffer);
}

}  // namespace bitloom::frames
