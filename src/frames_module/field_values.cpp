// Packing a value into a compiled field, and field contents back into
// Python values, through the field's row of the engine's table: values are
// converted and encoded by the very entries pack_parameters uses, so a
// compiled recipe writes the bits that pack_parameters writes.  What
// differs is that nothing is dropped silently: a text or raw-bytes value
// longer than its field is refused instead of losing its leading bytes.
#include "frames_module/field_values.hpp"

#include <cstring>

#include "core/bits.hpp"
#include "core/message.hpp"
#include "python/errors.hpp"

namespace bitloom::frames {

namespace {

bool fail(const CodecError& error) {
    raise_codec_error(error);
    return false;
}

[[gnu::cold]] bool refuse_long_value(const char* what, std::size_t size, const FrameField& field) {
    return fail(make_error(ErrorKind::value_error, "{} of {} bytes does not fit in {} bits",
                           {what, std::uint64_t{size}, field.bits}));
}

// Raw bytes are right-aligned in the field's whole bytes; a value with more
// bytes, or with bits set above the field's width, would lose them.
bool check_raw_bytes(const FrameField& field, std::span<const std::uint8_t> data) {
    const std::size_t count = field.byte_count();
    const unsigned spare = static_cast<unsigned>(count * 8 - field.bits);
    if (data.size() > count) return refuse_long_value("A value", data.size(), field);
    if (data.size() == count && count > 0 && (data[0] >> (8 - spare)) != 0) {
        return fail(make_error(ErrorKind::value_error,
                               "Value has bits set above its {} bits (first byte 0x{})",
                               {field.bits, to_hex(data[0], 2)}));
    }
    return true;
}

}  // namespace

BoundField bind_field(const FrameField& layout, const FieldEncoding& encoding) noexcept {
    BoundField bound;
    bound.layout = layout;
    bound.layout.kind = column_kind(layout.codec);
    bound.layout.slot = field_slot(layout.codec);
    bound.parameters = {encoding, layout.bits, layout.order, layout.reverse};
    bound.row = &field_codec_row(layout.codec);
    bound.lane = field_lane(bound.parameters);
    const bool lane_number = bound.lane.kind == LaneKind::unsigned_integer ||
                             bound.lane.kind == LaneKind::twos_complement ||
                             bound.lane.kind == LaneKind::float32 || bound.lane.kind == LaneKind::float64;
    bound.plain_number = lane_number && bound.layout.slot && bound.layout.count == 0 &&
                         bound.layout.arrangement == Arrangement::by_order && !bound.layout.reverse &&
                         (bound.layout.order == ByteOrder::big || bound.layout.bits <= 8);
    return bound;
}

bool encode_value(const BoundField& field, PyObject* value, std::vector<std::uint8_t>& scratch,
                  EncodedField& out) {
    FieldValue converted;
    if (!field.row->convert(value, field.parameters, converted)) return false;
    if (field.row->encode_pattern) {
        // A number: the row's pattern, placed here at any bit position.
        std::uint64_t pattern = 0;
        if (!field.row->encode_pattern(converted, field.parameters, pattern)) return false;
        out.bits = placed_bits(field.layout, pattern);
        return true;
    }
    if (field.layout.codec == FieldCodec::raw_bytes && !check_raw_bytes(field.layout, converted.bytes)) {
        return false;
    }
    FieldBytes bytes;
    if (!field.row->encode(converted, field.parameters, scratch, bytes)) return false;
    if (bytes.view.size() > field.layout.byte_count()) {
        return refuse_long_value("Text", bytes.view.size(), field.layout);
    }
    out.bytes = apply_byte_order(bytes.view, field.layout.order, scratch);
    return true;
}

PyObject* field_to_python(const BoundField& field, std::span<const std::uint8_t> data,
                          std::uint64_t frame_start) {
    const FrameField& layout = field.layout;
    if (field.plain_number) return plain_number_to_python(field, data, frame_start);
    if (!is_numeric(layout.kind)) return field_bytes_to_python(field, data, frame_start);
    if (!layout.slot) {
        // binary128: its 128-bit pattern has no field value of 64 bits.
        std::uint64_t slot = 0;
        CodecError error;
        if (!decode_number(layout, data, frame_start, slot, error)) {
            raise_codec_error(error);
            return nullptr;
        }
        return slot_to_python(slot_type(layout.kind), slot);
    }
    return decode_in_lane(field, pattern_of(layout, read_placed(layout, data, frame_start)));
}

PyObject* array_to_python(const BoundField& field, std::span<const std::uint8_t> data,
                          std::uint64_t frame_start, std::uint64_t& failed) {
    const FrameField& layout = field.layout;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(layout.count));
    if (!list) return nullptr;
    BoundField element = field;
    for (std::uint32_t k = 0; k < layout.count; ++k) {
        element.layout = layout.element(k);
        PyObject* value = field_to_python(element, data, frame_start);
        if (!value) {
            failed = k;
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(k), value);
    }
    return list;
}

namespace {

// The bytes of a text or raw-bytes field: where they lie when they are whole
// bytes at a byte boundary in big-endian order (text is never bit-reversed),
// else read into `buffer`, which holds byte_count() bytes.
std::span<const std::uint8_t> field_bytes(const FrameField& layout, std::span<const std::uint8_t> data,
                                          std::uint64_t frame_start, std::span<std::uint8_t> buffer) {
    const std::uint64_t start = frame_start + layout.start;
    const bool as_they_lie = layout.codec == FieldCodec::text ||
                             (!layout.reverse && layout.bits % 8 == 0);
    if (start % 8 == 0 && layout.order == ByteOrder::big && as_they_lie) {
        return data.subspan(static_cast<std::size_t>(start / 8), layout.byte_count());
    }
    read_field_bytes(layout, data, frame_start, buffer);
    return buffer;
}

}  // namespace

namespace {

// Text of one to eight ASCII bytes in a codec where ASCII is its own bytes
// (the ascii_text lane): the str of those bytes, read as one word, in `out`
// (null with the exception set if it cannot be made).  False, with nothing
// done, when a byte is not ASCII: the row decides what that byte means.
// What the row gives for ASCII bytes, without its calls.
bool ascii_text_to_python(const BoundField& field, std::span<const std::uint8_t> data,
                          std::uint64_t frame_start, PyObject*& out) {
    const FrameField& layout = field.layout;
    const std::uint64_t word = read_bits(data, frame_start + layout.start, layout.bits);
    if ((word & 0x8080808080808080u) != 0) return false;
    std::uint8_t text[8];
    store_big_endian(text, word << (64 - layout.bits));
    std::size_t length = layout.bits / 8;
    if (field.strip_padding) {
        while (length > 0 && text[length - 1] == 0) --length;
    }
    out = PyUnicode_New(static_cast<Py_ssize_t>(length), 127);
    if (out && length != 0) std::memcpy(PyUnicode_DATA(out), text, length);
    return true;
}

}  // namespace

PyObject* field_bytes_to_python(const BoundField& field, std::span<const std::uint8_t> data,
                                std::uint64_t frame_start) {
    if (field.lane.kind == LaneKind::ascii_text && field.layout.arrangement == Arrangement::by_order) {
        PyObject* value = nullptr;
        if (ascii_text_to_python(field, data, frame_start, value)) return value;
    }
    const std::size_t count = field.layout.byte_count();
    std::uint8_t small[256];
    std::vector<std::uint8_t> large;
    std::span<std::uint8_t> buffer(small, count);
    if (count > sizeof small) {
        large.resize(count);
        buffer = large;
    }
    PyObject* value = field.row->decode(0, field_bytes(field.layout, data, frame_start, buffer), field.parameters);
    if (!value || !field.strip_padding || !PyUnicode_Check(value)) return value;
    // Packing pads text with NUL bytes; the text without them packs to
    // the same bytes.
    Py_ssize_t length = PyUnicode_GET_LENGTH(value);
    while (length > 0 && PyUnicode_READ_CHAR(value, length - 1) == 0) --length;
    if (length == PyUnicode_GET_LENGTH(value)) return value;
    PyObject* stripped = PyUnicode_Substring(value, 0, length);
    Py_DECREF(value);
    return stripped;
}

}  // namespace bitloom::frames
