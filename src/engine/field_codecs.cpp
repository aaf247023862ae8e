// The rows of the field-codec table.  Numeric rows share three shapes
// (convert as an integer or a float, run the codec, right-align the pattern
// in whole bytes), built from templates so that a codec is named once; text
// and raw bytes have rows of their own.
#include "engine/field_codecs.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <new>

#include "codecs/decoder/reserved.hpp"
#include "codecs/encoder/bcd.hpp"
#include "codecs/encoder/ieee754.hpp"
#include "codecs/encoder/integer.hpp"
#include "codecs/encoder/reserved.hpp"
#include "core/bits.hpp"
#include "core/message.hpp"
#include "python/conversions.hpp"
#include "python/errors.hpp"
#include "python/results.hpp"
#include "python/text_objects.hpp"
#include "recipe/field_slots.hpp"

namespace bitloom {

namespace {

using F = FieldCodec;

bool raise_error(const CodecError& error) {
    raise_codec_error(error);
    return false;
}

// ---- conversions -----------------------------------------------------------

bool int_in_place(PyObject* value) { return PyLong_Check(value); }
bool float_in_place(PyObject* value) { return PyFloat_CheckExact(value) || PyLong_CheckExact(value); }
bool str_in_place(PyObject* value) { return PyUnicode_CheckExact(value); }
bool bytes_in_place(PyObject* value) { return PyBytes_Check(value) || PyByteArray_Check(value); }

bool convert_unsigned(PyObject* value, const FieldParameters&, FieldValue& out) {
    return convert_uint64(value, out.unsigned_integer);
}

bool convert_signed(PyObject* value, const FieldParameters&, FieldValue& out) {
    return convert_int64(value, out.signed_integer);
}

bool convert_single(PyObject* value, const FieldParameters&, FieldValue& out) {
    return convert_float32(value, out.float32);
}

bool convert_double(PyObject* value, const FieldParameters&, FieldValue& out) {
    return convert_float64(value, out.float64);
}

// A reserved format converts its value as its own encoder does before the
// refusal: 32-bit formats as a single-precision float, the others as a double.
bool convert_reserved(PyObject* value, const FieldParameters& field, FieldValue& out) {
    return takes_float32(field.encoding.reserved) ? convert_float32(value, out.float32)
                                                  : convert_float64(value, out.float64);
}

bool convert_text(PyObject* value, const FieldParameters&, FieldValue& out) {
    if (!PyUnicode_Check(value)) {
        raise_cannot_cast(value, "str");
        return false;
    }
    out.text = value;
    return true;
}

bool convert_raw_bytes(PyObject* value, const FieldParameters&, FieldValue& out) {
    return convert_byte_list(value, out.storage, out.bytes);
}

// ---- encoders --------------------------------------------------------------

// The numeric pattern right-aligned in ceil(bits / 8) bytes, and as one
// word for engines that place it whole.  Only widths above 64 go through
// encode_integer_to_bytes, for its refusal.
bool integer_bytes(std::uint64_t pattern, const FieldParameters& field, FieldBytes& out) {
    if (field.bits > 64) {
        return raise_error(encode_integer_to_bytes(pattern, field.bits, field.reverse_bits).error());
    }
    if (field.reverse_bits) pattern = reverse_low_bits(pattern, field.bits);
    out.word_bytes = (field.bits + 7) / 8;
    out.word = pattern & low_mask(8 * out.word_bytes);
    out.is_integer = true;
    return true;
}

// The numeric codecs' patterns: the codec run on the converted value, with
// its checks ("Value {} is too large", the codecs' own refusals).

bool unsigned_pattern(const FieldValue& value, const FieldParameters& field,
                      std::uint64_t& pattern) {
    const std::uint64_t number = value.unsigned_integer;
    if (field.bits < 64 && number >= power_of_two(field.bits)) {
        return raise_error(make_error(ErrorKind::value_error, "Value {} is too large for {} bits",
                                      {number, field.bits}));
    }
    pattern = number;
    return true;
}

bool take_pattern(Result<std::uint64_t> encoded, std::uint64_t& pattern) {
    if (!encoded) return raise_error(encoded.error());
    pattern = encoded.value();
    return true;
}

template <Result<std::uint64_t> (*Encode)(std::int64_t, std::uint32_t)>
bool integer_pattern(const FieldValue& value, const FieldParameters& field,
                     std::uint64_t& pattern) {
    return take_pattern(Encode(value.signed_integer, field.bits), pattern);
}

template <Result<std::uint64_t> (*Encode)(std::int64_t, std::uint32_t, bool), bool Signed>
bool bcd_pattern(const FieldValue& value, const FieldParameters& field, std::uint64_t& pattern) {
    return take_pattern(Encode(value.signed_integer, field.bits, Signed), pattern);
}

bool f16_pattern(const FieldValue& value, const FieldParameters&, std::uint64_t& pattern) {
    pattern = encode_ieee754_f16(value.float32);
    return true;
}

bool f32_pattern(const FieldValue& value, const FieldParameters&, std::uint64_t& pattern) {
    pattern = std::bit_cast<std::uint32_t>(value.float32);
    return true;
}

bool f64_pattern(const FieldValue& value, const FieldParameters&, std::uint64_t& pattern) {
    pattern = std::bit_cast<std::uint64_t>(value.float64);
    return true;
}

// The binary128 encoder refuses every value (NotImplementedError).
bool f128_pattern(const FieldValue& value, const FieldParameters&, std::uint64_t& pattern) {
    return take_pattern(encode_ieee754_f128(value.float64), pattern);
}

bool reserved_pattern(const FieldValue&, const FieldParameters& field, std::uint64_t&) {
    return raise_error(refuse_encoding(field.encoding.reserved));
}

// A numeric codec's encode: its pattern in whole bytes.
template <PatternEncoder Pattern>
bool encode_number(const FieldValue& value, const FieldParameters& field,
                   std::vector<std::uint8_t>&, FieldBytes& out) {
    std::uint64_t pattern = 0;
    return Pattern(value, field, pattern) && integer_bytes(pattern, field, out);
}

bool encode_raw_bytes(const FieldValue& value, const FieldParameters& field,
                      std::vector<std::uint8_t>& scratch, FieldBytes& out) {
    try {
        encode_binary_to_bytes(value.bytes, field.bits, field.reverse_bits, scratch);
    } catch (const std::bad_alloc&) {
        return raise_field_memory_error((std::size_t{field.bits} + 7) / 8);
    }
    out.view = scratch;
    return true;
}

// An ASCII str is its own bytes in these codecs.
bool ascii_is_its_bytes(TextCodec codec) noexcept {
    return codec == TextCodec::utf8 || codec == TextCodec::us_ascii ||
           codec == TextCodec::iso_8859_1 || codec == TextCodec::windows_1252;
}

bool encode_text(const FieldValue& value, const FieldParameters& field,
                 std::vector<std::uint8_t>& scratch, FieldBytes& out) {
    if (PyUnicode_IS_ASCII(value.text) && ascii_is_its_bytes(field.encoding.text)) {
        // Read in place: no codec runs and nothing is copied.
        out.view = {static_cast<const std::uint8_t*>(PyUnicode_DATA(value.text)),
                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(value.text))};
        return true;
    }
    if (field.encoding.text == TextCodec::utf8) {
        // The str's own UTF-8 form, read in place.
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(value.text, &size);
        if (!data) return false;
        out.view = {reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)};
        return true;
    }
    if (!encode_text_field(field.encoding.text, value.text, scratch)) return false;
    out.view = scratch;
    return true;
}

// ---- decoders --------------------------------------------------------------

// Every numeric codec decodes through its pure slot decoder, the one the
// column loops of compiled recipes use too.
PyObject* decode_number(std::uint64_t value, std::span<const std::uint8_t>,
                        const FieldParameters& field) {
    const FieldSlot& slot = *field_slot(field.encoding.codec);
    std::uint64_t decoded = 0;
    CodecError error;
    if (!slot.decode(value, field.bits, decoded, error)) return raise_codec_error(error);
    return slot_to_python(slot.type, decoded);
}

// The field value has only 64 bits: a binary128 field of up to 64 bits reads
// as 0.0, a wider one is refused.
PyObject* decode_f128(std::uint64_t, std::span<const std::uint8_t>, const FieldParameters& field) {
    if (field.bits > 64) {
        return raise_codec_error(make_error(
            ErrorKind::value_error,
            "IEEE 754 f128 requires special handling for >64 bits (not yet implemented in "
            "process_recipe)"));
    }
    return PyFloat_FromDouble(0.0);
}

PyObject* decode_reserved(std::uint64_t, std::span<const std::uint8_t>,
                          const FieldParameters& field) {
    return raise_codec_error(refuse_decoding(field.encoding.reserved));
}

PyObject* decode_text(std::uint64_t, std::span<const std::uint8_t> buffer,
                      const FieldParameters& field) {
    return decode_text_to_str(field.encoding.text, buffer);
}

// The unpacking names do not include raw bytes, so unpack_parameters never
// reaches this row's decoder; compiled recipes read such a field as the
// bytes of its buffer.
PyObject* decode_raw_bytes(std::uint64_t, std::span<const std::uint8_t> buffer,
                           const FieldParameters&) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buffer.data()),
                                     static_cast<Py_ssize_t>(buffer.size()));
}

constexpr FieldInput kValue = FieldInput::field_value;
constexpr FieldInput kBuffer = FieldInput::field_buffer;

// A numeric row: its codec's conversion and pattern, and the bytes of the
// pattern as its encode.
template <PatternEncoder Pattern>
constexpr FieldCodecRow number_row(FieldCodec codec, bool (*in_place)(PyObject*),
                                   bool (*convert)(PyObject*, const FieldParameters&, FieldValue&),
                                   PyObject* (*decode)(std::uint64_t, std::span<const std::uint8_t>,
                                                       const FieldParameters&)) {
    return {codec, kValue, in_place, convert, encode_number<Pattern>, decode, Pattern};
}

// In FieldCodec order, so that a codec indexes its own row.
constexpr FieldCodecRow kRows[] = {
    number_row<unsigned_pattern>(F::unsigned_integer, int_in_place, convert_unsigned, decode_number),
    number_row<integer_pattern<encode_twos_complement>>(F::twos_complement, int_in_place,
                                                        convert_signed, decode_number),
    number_row<integer_pattern<encode_ones_complement>>(F::ones_complement, int_in_place,
                                                        convert_signed, decode_number),
    number_row<integer_pattern<encode_sign_magnitude>>(F::sign_magnitude, int_in_place,
                                                       convert_signed, decode_number),
    number_row<bcd_pattern<encode_unpacked_bcd, false>>(F::unpacked_bcd, int_in_place,
                                                        convert_signed, decode_number),
    number_row<bcd_pattern<encode_unpacked_bcd, true>>(F::unpacked_bcd_signed, int_in_place,
                                                       convert_signed, decode_number),
    number_row<bcd_pattern<encode_packed_bcd, false>>(F::packed_bcd, int_in_place,
                                                      convert_signed, decode_number),
    number_row<bcd_pattern<encode_packed_bcd, true>>(F::packed_bcd_signed, int_in_place,
                                                     convert_signed, decode_number),
    {F::raw_bytes, kBuffer, bytes_in_place, convert_raw_bytes, encode_raw_bytes, decode_raw_bytes,
     nullptr},
    {F::text, kBuffer, str_in_place, convert_text, encode_text, decode_text, nullptr},
    number_row<f16_pattern>(F::ieee754_f16, float_in_place, convert_single, decode_number),
    number_row<f32_pattern>(F::ieee754_f32, float_in_place, convert_single, decode_number),
    number_row<f64_pattern>(F::ieee754_f64, float_in_place, convert_double, decode_number),
    number_row<f128_pattern>(F::ieee754_f128, float_in_place, convert_double, decode_f128),
    number_row<reserved_pattern>(F::reserved, float_in_place, convert_reserved, decode_reserved),
};

constexpr bool rows_follow_codec_order() {
    for (std::size_t i = 0; i < std::size(kRows); ++i) {
        if (static_cast<std::size_t>(kRows[i].codec) != i) return false;
    }
    return std::size(kRows) == kFieldCodecCount;
}
static_assert(rows_follow_codec_order());

}  // namespace

PyObject* slot_to_python(SlotType type, std::uint64_t slot) {
    switch (type) {
        case SlotType::uint64: return to_python(slot);
        case SlotType::int64: return to_python(as_signed(slot));
        case SlotType::float64: break;
    }
    return PyFloat_FromDouble(std::bit_cast<double>(slot));
}

const FieldCodecRow& field_codec_row(FieldCodec codec) noexcept {
    return kRows[static_cast<std::size_t>(codec)];
}

FieldLane field_lane(const FieldParameters& field) noexcept {
    if (field.encoding.codec != F::text) return field_lane(field.encoding.codec, field.bits);
    FieldLane lane;
    if (ascii_is_its_bytes(field.encoding.text) && field.byte_order == ByteOrder::big &&
        !field.reverse_bits && field.bits % 8 == 0 && field.bits >= 8 && field.bits <= 64) {
        lane.kind = LaneKind::ascii_text;
        lane.bits = field.bits;
    }
    return lane;
}

std::span<const std::uint8_t> apply_byte_order(std::span<const std::uint8_t> bytes, ByteOrder order,
                                               std::vector<std::uint8_t>& scratch) {
    if (order == ByteOrder::big) return bytes;
    if (bytes.data() != scratch.data()) scratch.assign(bytes.begin(), bytes.end());
    std::reverse(scratch.begin(), scratch.end());
    return scratch;
}

}  // namespace bitloom
