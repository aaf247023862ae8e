// The packet parser.  Each field is read from the whole bytes that hold it
// (recipe/field_window.hpp says how, and why parsing mirrors packing only
// for fields that end on a byte boundary), and its value is decoded by the
// field codec's lane where it has one (unsigned and two's complement fields
// of 1 to 64 bits, binary32 and binary64), else by its row.  Nothing outside
// the packet is read.
//
// The usual recipe is read by process_usual_recipe instead, in one pass
// with no call that can fail or run Python code before the result dict is
// built; it gives up, with nothing raised, at the first item it does not
// take, and the caller then runs process_recipe from the start.
#include "engine/packet_parser.hpp"

#include <cstring>
#include <vector>

#include "core/message.hpp"
#include "engine/field_codecs.hpp"
#include "engine/usual_items.hpp"
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

// The value of a usual item's field, or null with nothing raised when the
// pass does not take it: a numeric lane's value of the field value, or the
// str of a text field whose bytes are all ASCII in a codec where ASCII is its
// own bytes (what the row decodes them to).  Each byte of the window is read
// once.
PyObject* usual_value(const FieldParameters& field, std::span<const std::uint8_t> window) noexcept {
    // Numbers through the lane in line; text's lane depends on more than
    // the width.
    const FieldLane lane = field.encoding.codec == FieldCodec::text
                               ? field_lane(field)
                               : field_lane(field.encoding.codec, field.bits);
    switch (lane.kind) {
        case LaneKind::unsigned_integer:
        case LaneKind::twos_complement:
        case LaneKind::float32:
        case LaneKind::float64: {
            PyObject* value = value_in_lane(
                lane, field_value(window, field.byte_order, field.bits, field.reverse_bits));
            if (!value) PyErr_Clear();
            return value;
        }
        case LaneKind::ascii_text: {
            // A big-endian, unreversed field of whole bytes: the window is
            // the text's bytes (1 to 8 of them).
            std::uint8_t text[8];
            std::memcpy(text, window.data(), window.size());
            std::uint8_t high = 0;
            for (std::size_t i = 0; i < window.size(); ++i) high |= text[i];
            if (high & 0x80) return nullptr;
            PyObject* value = PyUnicode_New(static_cast<Py_ssize_t>(window.size()), 127);
            if (!value) {
                PyErr_Clear();
                return nullptr;
            }
            std::memcpy(PyUnicode_DATA(value), text, window.size());
            return value;
        }
        case LaneKind::row: break;
    }
    return nullptr;
}

// Reads one usual item into `result`: false, with nothing raised, for an
// item the pass does not take.  The caller holds the item's critical section
// on interpreters without the GIL: the entries are borrowed from the dict,
// and the name goes into `result` before the section ends.
[[gnu::always_inline]] inline bool parse_usual_item(PyObject* item, std::span<const std::uint8_t> packet,
                                                    std::uint64_t start_offset,
                                                    const InternedKeyTable::Lookup& table,
                                                    UsualEncodings& encodings, PyObject* result,
                                                    std::uint64_t& cursor) noexcept {
    ScannedKeys keys;
    scan_exact_dict(item, table, keys);
    RecipeItem fields;
    if (!read_item_in_place(keys, fields)) return false;
    // As parse_item: an item's own offset counts from the call's start
    // offset, and an item without one follows the item before it.
    std::uint64_t start = cursor;
    if (fields.has_offset) {
        if (fields.offset_bits > UINT64_MAX - start_offset) return false;
        start = start_offset + fields.offset_bits;
    }
    std::span<const std::uint8_t> window;
    FieldParameters field;
    field.bits = fields.bits;
    field.reverse_bits = fields.reverse_bits;
    if (!window_inside(packet, start, fields.bits, window) ||
        !usual_byte_order(fields.byte_order.text, field.byte_order) ||
        !encodings.find(fields.encoding, fields.bits, field.encoding)) {
        return false;
    }
    PyObject* value = usual_value(field, window);
    if (!value) return false;
    // The name is an exact str, as are the keys already in the dict, so
    // setting it runs no Python code; a later duplicate replaces the value
    // and keeps the first key's place, as in process_recipe.
    const int set = PyDict_SetItem(result, fields.name.object, value);
    Py_DECREF(value);
    if (set < 0) {
        PyErr_Clear();
        return false;
    }
    cursor = start + fields.bits;
    return true;
}

}  // namespace

PyObject* process_usual_recipe(std::span<const std::uint8_t> packet, std::uint64_t start_offset,
                               std::span<PyObject* const> items) noexcept {
    PyObject* result = PyDict_New();
    if (!result) {
        PyErr_Clear();
        return nullptr;
    }
    UsualEncodings encodings(NameDirection::unpacking);
    const InternedKeyTable::Lookup table = interned_key_table().lookup();
    std::uint64_t cursor = start_offset;
    for (PyObject* item : items) {
        bool taken = PyDict_CheckExact(item);
        if (taken) {
            Py_BEGIN_CRITICAL_SECTION(item);
            taken = parse_usual_item(item, packet, start_offset, table, encodings, result, cursor);
            Py_END_CRITICAL_SECTION();
        }
        if (!taken) {
            // The dict holds only exact str keys and ints, floats and str:
            // its release runs no Python code.
            Py_DECREF(result);
            return nullptr;
        }
    }
    return result;
}

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
