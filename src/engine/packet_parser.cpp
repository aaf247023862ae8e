// The packet parser.  Each field is read from the whole bytes that hold it:
// the window starts at byte floor(start / 8) and spans ceil(bits / 8)
// bytes, and the field is the low `bits` bits of that window read as one
// number in the item's byte order.  The bit offset within the first byte is
// deliberately not used, which is why parsing only mirrors packing for
// fields that end on a byte boundary.  Nothing outside the packet is read.
#include "engine/packet_parser.hpp"

#include <algorithm>
#include <bit>
#include <string>
#include <vector>

#include "core/bits.hpp"
#include "core/message.hpp"
#include "codecs/decoder/bcd.hpp"
#include "codecs/decoder/ieee754.hpp"
#include "codecs/decoder/integer.hpp"
#include "codecs/decoder/reserved.hpp"
#include "recipe/encoding_names.hpp"
#include "python/errors.hpp"
#include "python/text_objects.hpp"

namespace bitloom {

namespace {

// The field value from the first eight bytes of the field buffer, narrowed
// to `bits` bits or bit-reversed.
std::uint64_t field_value(std::span<const std::uint8_t> window, ByteOrder order, std::uint32_t bits,
                          bool reverse) {
    const std::size_t count = std::min<std::size_t>(window.size(), 8);
    std::uint64_t value = 0;
    for (std::size_t j = 0; j < count; ++j) {
        const std::uint8_t byte = order == ByteOrder::big ? window[j] : window[window.size() - 1 - j];
        value = (value << 8) | byte;
    }
    if (!reverse) return bits >= 64 ? value : value & low_mask(bits);
    if (bits <= 64) return reverse_low_bits(value, bits);
    // Wider fields have no bit W - 1 in a 64-bit value: bit i moves to bit
    // (W - 1 - i) mod 64, reading bit i mod 64.  Positions repeat every 64
    // steps, so one round covers them all.
    std::uint64_t reversed = 0;
    for (unsigned i = 0; i < 64; ++i) {
        if (bit_is_set(value, i)) reversed |= std::uint64_t{1} << ((bits - 1u - i) & 63u);
    }
    return reversed;
}

PyObject* decode_number(FieldEncoding encoding, std::uint64_t value, std::uint32_t bits) {
    switch (encoding.codec) {
        case FieldCodec::unsigned_integer: return PyLong_FromUnsignedLongLong(value);
        case FieldCodec::twos_complement: return PyLong_FromLongLong(decode_twos_complement(value, bits));
        case FieldCodec::ones_complement: return PyLong_FromLongLong(decode_ones_complement(value, bits));
        case FieldCodec::sign_magnitude:
            return PyLong_FromLongLong(decode_sign_magnitude(value, bits));
        case FieldCodec::unpacked_bcd:
        case FieldCodec::unpacked_bcd_signed: {
            auto decoded = decode_unpacked_bcd(value, bits, encoding.codec == FieldCodec::unpacked_bcd_signed);
            if (!decoded.ok()) return raise_codec_error(decoded.error());
            return PyLong_FromLongLong(decoded.value());
        }
        case FieldCodec::packed_bcd:
        case FieldCodec::packed_bcd_signed: {
            auto decoded = decode_packed_bcd(value, bits, encoding.codec == FieldCodec::packed_bcd_signed);
            if (!decoded.ok()) return raise_codec_error(decoded.error());
            return PyLong_FromLongLong(decoded.value());
        }
        case FieldCodec::ieee754_f16:
            return PyFloat_FromDouble(static_cast<double>(decode_ieee754_f16(value & 0xFFFFu)));
        case FieldCodec::ieee754_f32:
            return PyFloat_FromDouble(static_cast<double>(
                std::bit_cast<float>(static_cast<std::uint32_t>(value))));
        case FieldCodec::ieee754_f64: return PyFloat_FromDouble(std::bit_cast<double>(value));
        case FieldCodec::ieee754_f128:
            if (bits > 64) {
                return raise_codec_error(make_error(
                    ErrorKind::value_error,
                    "IEEE 754 f128 requires special handling for >64 bits (not yet implemented "
                    "in process_recipe)"));
            }
            return PyFloat_FromDouble(0.0);
        case FieldCodec::reserved: return raise_codec_error(refuse_decoding(encoding.reserved));
        case FieldCodec::raw_bytes:
        case FieldCodec::text:
            break;
    }
    raise_internal_error("a text encoding reached the numeric decoder");
    return nullptr;
}

[[gnu::cold]] bool raise_window_error(std::uint64_t first_byte, std::uint64_t byte_count,
                                      std::size_t packet_length) {
    const std::uint64_t length = packet_length;
    if (first_byte > length) {
        raise_codec_error(make_error(ErrorKind::value_error,
                                     "range start index {} out of range for slice of length {}",
                                     {first_byte, length}));
    } else {
        raise_codec_error(make_error(ErrorKind::value_error,
                                     "range end index {} out of range for slice of length {}",
                                     {first_byte + byte_count, length}));
    }
    return false;
}

// A dict key from the item's name: the str itself, or an exact str copy of
// a str subclass.
PyRef name_key(const TextField& name) {
    if (PyUnicode_CheckExact(name.object)) return PyRef::borrow(name.object);
    return PyRef(PyUnicode_FromStringAndSize(name.text.data(), static_cast<Py_ssize_t>(name.text.size())));
}

}  // namespace

PyObject* process_recipe(std::span<const std::uint8_t> packet, std::uint64_t start_offset,
                         PyObject* items, ItemContext& context) {
    // Presized for the usual case of one key per item, so that filling it
    // does not grow it step by step (capped: a huge recipe may fail early).
    const Py_ssize_t expected = std::min<Py_ssize_t>(PySequence_Fast_GET_SIZE(items), 1 << 12);
    PyRef result(expected > 5 ? _PyDict_NewPresized(expected) : PyDict_New());
    if (!result) return nullptr;
    std::vector<std::uint8_t> reversed;
    NameCache names(NameDirection::unpacking);
    std::uint64_t cursor = start_offset;
    for (Py_ssize_t i = 0;; ++i) {
        ItemEntries entries;
        RecipeItem fields;
        const ItemRead read = read_next_item(items, i, context, entries, fields);
        if (read == ItemRead::end) break;
        if (read == ItemRead::failed) return nullptr;

        // An item's own offset counts from the call's start offset.
        std::uint64_t start = cursor;
        if (fields.has_offset) {
            if (fields.offset_bits > UINT64_MAX - start_offset) {
                raise_codec_error(make_error(
                    ErrorKind::value_error,
                    "Field start {} + {} lies beyond the largest bit position 18446744073709551615",
                    {start_offset, fields.offset_bits}));
                return nullptr;
            }
            start = start_offset + fields.offset_bits;
        }
        const std::uint64_t first_byte = start / 8;
        const std::uint64_t byte_count = (std::uint64_t{fields.bits} + 7) / 8;
        if (first_byte > packet.size() || byte_count > packet.size() - first_byte) {
            raise_window_error(first_byte, byte_count, packet.size());
            return nullptr;
        }
        const auto window = packet.subspan(static_cast<std::size_t>(first_byte),
                                           static_cast<std::size_t>(byte_count));

        ByteOrder order{};
        if (!names.byte_order(fields.byte_order, order)) return nullptr;
        const std::uint64_t value = field_value(window, order, fields.bits, fields.reverse_bits);

        const EncodingNameRow* row = nullptr;
        FieldEncoding encoding{};
        if (!names.encoding_row(fields.encoding, row) ||
            !take(select_encoding(row, fields.encoding.text, fields.bits), encoding)) {
            return nullptr;
        }
        PyRef decoded;
        if (encoding.codec == FieldCodec::text) {
            std::span<const std::uint8_t> buffer = window;
            if (order == ByteOrder::little) {
                reversed.assign(window.rbegin(), window.rend());
                buffer = reversed;
            }
            decoded = PyRef(decode_text_to_str(encoding.text, buffer));
        } else {
            decoded = PyRef(decode_number(encoding, value, fields.bits));
        }
        if (!decoded) return nullptr;
        PyRef key = name_key(fields.name);
        if (!key || PyDict_SetItem(result.get(), key.get(), decoded.get()) < 0) return nullptr;
        // Moves by the width from this item's start, whatever the window.
        cursor = start + fields.bits;
    }
    return result.release();
}

}  // namespace bitloom
