// The packet parser.  Each field is read from the whole bytes that hold it
// (recipe/field_window.hpp says how, and why parsing mirrors packing only
// for fields that end on a byte boundary), and its value is decoded by the
// field codec's lane where it has one (unsigned and two's complement fields
// of 1 to 64 bits, binary32 and binary64), else by its row.  Nothing outside
// the packet is read.
#include "engine/packet_parser.hpp"

#include <vector>

#include "core/message.hpp"
#include "engine/field_codecs.hpp"
#include "python/results.hpp"
#include "recipe/encoding_names.hpp"
#include "recipe/field_window.hpp"

namespace bitloom {

namespace {

// A dict key from the item's name: the str itself, or an exact str copy of
// a str subclass.
PyRef name_key(const TextField& name) {
    if (PyUnicode_CheckExact(name.object)) return PyRef::borrow(name.object);
    return PyRef(PyUnicode_FromStringAndSize(name.text.data(), static_cast<Py_ssize_t>(name.text.size())));
}

[[gnu::cold]] void raise_start_too_large(std::uint64_t start_offset, std::uint64_t offset_bits) {
    raise_codec_error(make_error(
        ErrorKind::value_error,
        "Field start {} + {} lies beyond the largest bit position 18446744073709551615",
        {start_offset, offset_bits}));
}

// Reads one item's field and stores its value in `result`.
// `fields` is the caller's, reused from item to item (every member that is
// read is written first).
bool parse_item(PyObject* item, std::span<const std::uint8_t> packet, std::uint64_t start_offset,
                ReadState& state, NameCache& names, RecipeItem& fields,
                std::vector<std::uint8_t>& scratch, PyObject* result, std::uint64_t& cursor) {
    ItemSlots entries;
    if (!scan_item(item, entries) || !read_recipe_item(item, entries, state, fields)) return false;

    // An item's own offset counts from the call's start offset.
    std::uint64_t start = cursor;
    if (fields.has_offset) {
        if (fields.offset_bits > UINT64_MAX - start_offset) {
            raise_start_too_large(start_offset, fields.offset_bits);
            return false;
        }
        start = start_offset + fields.offset_bits;
    }
    std::span<const std::uint8_t> window;
    if (!take(field_window(packet, start, fields.bits), window)) return false;

    FieldParameters field;
    field.bits = fields.bits;
    field.reverse_bits = fields.reverse_bits;
    if (!names.byte_order(fields.byte_order, field.byte_order)) return false;
    // The encoding is looked at only after the window and the byte order,
    // so an unknown name never hides their failures.
    if (!names.encoding(fields.encoding, fields.bits, field.encoding)) return false;
    const FieldCodecRow& codec = field_codec_row(field.encoding.codec);
    const FieldLane lane = field_lane(field.encoding.codec, field.bits);
    PyRef decoded;
    if (codec.input == FieldInput::field_value) {
        const std::uint64_t value =
            field_value(window, field.byte_order, field.bits, field.reverse_bits);
        decoded = PyRef(lane.kind != LaneKind::row ? value_in_lane(lane, value)
                                                   : codec.decode(value, {}, field));
    } else {
        decoded = PyRef(codec.decode(0, field_buffer(window, field.byte_order, scratch), field));
    }
    if (!decoded) return false;
    PyRef key = name_key(fields.name);
    if (!key || PyDict_SetItem(result, key.get(), decoded.get()) < 0) return false;
    // Moves by the width from this item's start, whatever the window.
    cursor = start + fields.bits;
    return true;
}

}  // namespace

PyObject* process_recipe(std::span<const std::uint8_t> packet, std::uint64_t start_offset,
                         std::span<PyObject* const> items, ItemContext& context) {
    PyRef result(PyDict_New());
    if (!result) return nullptr;
    std::vector<std::uint8_t> scratch;
    NameCache names(NameDirection::unpacking);
    ReadState state;
    RecipeItem fields;
    std::uint64_t cursor = start_offset;
    for (std::size_t i = 0; i < items.size(); ++i) {
        context = {static_cast<Py_ssize_t>(i), items[i]};
        if (!parse_item(items[i], packet, start_offset, state, names, fields, scratch,
                        result.get(), cursor)) {
            return nullptr;
        }
    }
    return result.release();
}

}  // namespace bitloom
