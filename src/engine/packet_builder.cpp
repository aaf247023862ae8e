// The packet builder.  A first pass sizes the packet from every item's
// "bits" and "offset_bits"; the second encodes each item's value and writes
// its bits.  The packet is written directly into the result bytes object.
//
// The first pass places an item without "offset_bits" at the furthest end
// seen so far, while the second places it after the item before it, so a
// packet can be longer than its last field; the extra bytes stay zero.
#include "engine/packet_builder.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "core/bits.hpp"
#include "core/message.hpp"
#include "codecs/encoder/bcd.hpp"
#include "recipe/encoding_names.hpp"
#include "codecs/encoder/ieee754.hpp"
#include "codecs/encoder/integer.hpp"
#include "recipe/placement.hpp"
#include "codecs/encoder/reserved.hpp"
#include "python/conversions.hpp"
#include "python/errors.hpp"
#include "python/text_objects.hpp"

namespace bitloom {

namespace {

bool raise_error(const CodecError& error) {
    raise_codec_error(error);
    return false;
}

// Field bytes of one item: a numeric field on the stack, or bytes held in
// (or viewed through) the call's scratch buffer.
struct FieldBytes {
    IntegerField integer;
    std::span<const std::uint8_t> view;
    bool is_integer = false;
};

bool integer_field(Result<IntegerField> result, FieldBytes& out) {
    out.is_integer = true;
    return take(std::move(result), out.integer);
}

bool encode_signed(PyObject* value, const RecipeItem& item,
                   Result<std::uint64_t> (*encode)(std::int64_t, std::uint32_t), FieldBytes& out) {
    std::int64_t number = 0;
    std::uint64_t pattern = 0;
    return convert_int64(value, number) && take(encode(number, item.bits), pattern) &&
           integer_field(encode_integer_to_bytes(pattern, item.bits, item.reverse_bits), out);
}

bool encode_bcd(PyObject* value, const RecipeItem& item,
                Result<std::uint64_t> (*encode)(std::int64_t, std::uint32_t, bool), bool is_signed,
                FieldBytes& out) {
    std::int64_t number = 0;
    std::uint64_t pattern = 0;
    return convert_int64(value, number) && take(encode(number, item.bits, is_signed), pattern) &&
           integer_field(encode_integer_to_bytes(pattern, item.bits, item.reverse_bits), out);
}

// Converts the item's value as its encoding requires and produces its
// field bytes.
bool encode_field(PyObject* value, const RecipeItem& item, FieldEncoding encoding,
                  std::vector<std::uint8_t>& scratch, FieldBytes& out) {
    switch (encoding.codec) {
        case FieldCodec::unsigned_integer: {
            std::uint64_t number = 0;
            if (!convert_uint64(value, number)) return false;
            if (item.bits < 64 && number >= power_of_two(item.bits)) {
                return raise_error(make_error(ErrorKind::value_error,
                                              "Value {} is too large for {} bits",
                                              {number, item.bits}));
            }
            return integer_field(encode_integer_to_bytes(number, item.bits, item.reverse_bits), out);
        }
        case FieldCodec::twos_complement: return encode_signed(value, item, encode_twos_complement, out);
        case FieldCodec::ones_complement: return encode_signed(value, item, encode_ones_complement, out);
        case FieldCodec::sign_magnitude: return encode_signed(value, item, encode_sign_magnitude, out);
        case FieldCodec::unpacked_bcd: return encode_bcd(value, item, encode_unpacked_bcd, false, out);
        case FieldCodec::unpacked_bcd_signed: return encode_bcd(value, item, encode_unpacked_bcd, true, out);
        case FieldCodec::packed_bcd: return encode_bcd(value, item, encode_packed_bcd, false, out);
        case FieldCodec::packed_bcd_signed: return encode_bcd(value, item, encode_packed_bcd, true, out);
        case FieldCodec::raw_bytes: {
            std::vector<std::uint8_t> converted;
            std::span<const std::uint8_t> data;
            if (!convert_byte_list(value, converted, data)) return false;
            encode_binary_to_bytes(data, item.bits, item.reverse_bits, scratch);
            out.view = scratch;
            return true;
        }
        case FieldCodec::text: {
            if (!PyUnicode_Check(value)) {
                raise_cannot_cast(value, "str");
                return false;
            }
            if (encoding.text == TextCodec::utf8) {
                // The str's own UTF-8 form, read in place.
                Py_ssize_t size = 0;
                const char* data = PyUnicode_AsUTF8AndSize(value, &size);
                if (!data) return false;
                out.view = {reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)};
                return true;
            }
            if (!encode_text_field(encoding.text, value, scratch)) return false;
            out.view = scratch;
            return true;
        }
        case FieldCodec::ieee754_f16: {
            float number = 0;
            return convert_float32(value, number) &&
                   integer_field(encode_integer_to_bytes(encode_ieee754_f16(number), item.bits,
                                                         item.reverse_bits),
                                 out);
        }
        case FieldCodec::ieee754_f32: {
            float number = 0;
            return convert_float32(value, number) &&
                   integer_field(encode_integer_to_bytes(std::bit_cast<std::uint32_t>(number),
                                                         item.bits, item.reverse_bits),
                                 out);
        }
        case FieldCodec::ieee754_f64: {
            double number = 0;
            return convert_float64(value, number) &&
                   integer_field(encode_integer_to_bytes(std::bit_cast<std::uint64_t>(number),
                                                         item.bits, item.reverse_bits),
                                 out);
        }
        case FieldCodec::ieee754_f128: {
            double number = 0;
            std::uint64_t unused = 0;
            return convert_float64(value, number) && take(encode_ieee754_f128(number), unused);
        }
        case FieldCodec::reserved: {
            // The value is converted as the format's own encoder converts it
            // before the refusal.
            if (takes_float32(encoding.reserved)) {
                float number = 0;
                if (!convert_float32(value, number)) return false;
            } else {
                double number = 0;
                if (!convert_float64(value, number)) return false;
            }
            return raise_error(refuse_encoding(encoding.reserved));
        }
    }
    return raise_error(make_error(ErrorKind::value_error, "Unsupported encoding type: {}",
                                  {item.encoding.text}));
}

// Field bytes in the item's byte order: "little" reverses the whole string.
std::span<const std::uint8_t> apply_byte_order(FieldBytes& field, ByteOrder order,
                                               std::vector<std::uint8_t>& scratch) {
    if (field.is_integer) {
        std::span<std::uint8_t> bytes = field.integer.span();
        if (order == ByteOrder::little) std::reverse(bytes.begin(), bytes.end());
        return bytes;
    }
    if (order == ByteOrder::big) return field.view;
    if (field.view.data() != scratch.data()) scratch.assign(field.view.begin(), field.view.end());
    std::reverse(scratch.begin(), scratch.end());
    return scratch;
}

[[gnu::cold]] bool raise_packet_too_large(std::uint64_t total_bits) {
    return raise_error(make_error(ErrorKind::value_error,
                                  "A packet of {} bits is too large to build", {total_bits}));
}

}  // namespace

PyObject* build_packet(PyObject* items, ItemContext& context) {
    // Length pass: every item's dict check, "bits" and "offset_bits".
    std::uint64_t total_bits = 0;
    for (Py_ssize_t i = 0;; ++i) {
        PyRef item = recipe_item_at(items, i);
        if (!item) break;
        context.index = i;
        context.item = std::move(item);
        std::uint32_t bits = 0;
        bool has_offset = false;
        std::uint64_t offset = 0;
        if (!read_extent(context.item.get(), bits, has_offset, offset)) return nullptr;
        std::uint64_t end = 0;
        if (!take(field_end(has_offset ? offset : total_bits, bits), end)) return nullptr;
        total_bits = std::max(total_bits, end);
    }
    context.index = -1;
    context.item = PyRef();

    const std::uint64_t length = total_bits / 8 + (total_bits % 8 != 0);
    if (length > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        raise_packet_too_large(total_bits);
        return nullptr;
    }
    PyRef packet(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
    if (!packet) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError) || PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_MemoryError, "cannot allocate a packet of %llu bytes",
                         static_cast<unsigned long long>(length));
        }
        return nullptr;
    }
    std::span<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(packet.get())),
                                  static_cast<std::size_t>(length));
    std::memset(bytes.data(), 0, bytes.size());

    // Placement pass.
    std::vector<std::uint8_t> scratch;
    NameCache names(NameDirection::packing);
    std::uint64_t cursor = 0;
    for (Py_ssize_t i = 0;; ++i) {
        ItemEntries entries;
        RecipeItem fields;
        const ItemRead read = read_next_item(items, i, context, entries, fields);
        if (read == ItemRead::end) break;
        if (read == ItemRead::failed) return nullptr;
        if (!get_value(entries.value.get(), fields.name.text)) return nullptr;
        const std::uint64_t start = fields.has_offset ? fields.offset_bits : cursor;

        const EncodingNameRow* row = nullptr;
        FieldEncoding encoding{};
        if (!names.encoding_row(fields.encoding, row) ||
            !take(select_encoding(row, fields.encoding.text, fields.bits), encoding)) {
            return nullptr;
        }
        FieldBytes field;
        if (!encode_field(entries.value.get(), fields, encoding, scratch, field)) return nullptr;

        ByteOrder order{};
        if (!names.byte_order(fields.byte_order, order)) return nullptr;
        std::uint64_t end = 0;
        if (!take(field_end(start, fields.bits), end)) return nullptr;
        place_field(bytes, apply_byte_order(field, order, scratch), start, fields.bits);
        cursor = end;
    }
    return packet.release();
}

}  // namespace bitloom
