// FrameCodec construction: a recipe checked once and compiled into one
// CompiledField per item; the object exists only once that succeeded.
#include "frames_module/frame_codec.hpp"
#include "frames_module/codec_state.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/bits.hpp"
#include "core/message.hpp"
#include "recipe/placement.hpp"
#include "engine/recipe_items.hpp"
#include "frames/frame_layout.hpp"
#include "frames_module/columns.hpp"
#include "frames_module/dump_decoding.hpp"
#include "frames_module/field_values.hpp"
#include "python/conversions.hpp"
#include "python/dict_entries.hpp"
#include "python/errors.hpp"
#include "python/python_ref.hpp"
#include "python/results.hpp"
#include "python/stack_room.hpp"

namespace bitloom::frames {

// ---- construction --------------------------------------------------------------

// Item `index` of a list or tuple as a new reference, or null past its end.
// A list can change while values are converted (their hooks run Python
// code), so every access reads the size again.
PyRef recipe_item_at(PyObject* items, Py_ssize_t index) {
#ifdef Py_GIL_DISABLED
    if (PyList_CheckExact(items)) {
        PyRef item(PyList_GetItemRef(items, index));
        if (!item) PyErr_Clear();  // past the end
        return item;
    }
#endif
    if (index >= PySequence_Fast_GET_SIZE(items)) return PyRef();
    return PyRef::borrow(PySequence_Fast_GET_ITEM(items, index));
}

// The item dicts, each copied (a dict subclass becomes a dict) and then the
// whole list deep-copied, so that nothing the caller changes later reaches
// the codec.
PyRef copy_items(PyObject* recipe) {
    PyRef items = convert_sequence(recipe);
    if (!items) {
        wrap_argument_error("recipe");
        return PyRef();
    }
    PyRef copies(PyList_New(0));
    if (!copies) return PyRef();
    for (Py_ssize_t i = 0;; ++i) {
        PyRef item = recipe_item_at(items.get(), i);
        if (!item) break;
        if (!PyDict_Check(item.get())) {
            raise_cannot_cast(item.get(), "dict");
            locate_pending_error(item_label(i, nullptr).get());
            return PyRef();
        }
        PyRef copy(PyDict_Copy(item.get()));
        if (!copy || PyList_Append(copies.get(), copy.get()) < 0) return PyRef();
    }
    PyRef copy_module(PyImport_ImportModule("copy"));
    if (!copy_module) return PyRef();
    PyRef copied(PyObject_CallMethod(copy_module.get(), "deepcopy", "O", copies.get()));
    if (!copied) return PyRef();
    // copy.deepcopy is whatever the module holds, and an item's __deepcopy__
    // sees the list it returns (through `memo`) and may keep it to change
    // later: the copy is checked, read once into a tuple, and each item is
    // copied once more into a dict that only the codec holds.
    if (!PyList_Check(copied.get()) && !PyTuple_Check(copied.get())) {
        PyErr_Format(PyExc_TypeError, "copy.deepcopy returned '%s', not a list",
                     Py_TYPE(copied.get())->tp_name);
        return PyRef();
    }
    PyRef snapshot(PySequence_Tuple(copied.get()));
    if (!snapshot) return PyRef();
    const Py_ssize_t count = PyTuple_GET_SIZE(snapshot.get());
    PyRef owned(PyTuple_New(count));
    if (!owned) return PyRef();
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyTuple_GET_ITEM(snapshot.get(), i);
        if (!PyDict_Check(item)) {
            raise_cannot_cast(item, "dict");
            locate_pending_error(item_label(i, nullptr).get());
            return PyRef();
        }
        PyObject* copy = PyDict_Copy(item);
        if (!copy) return PyRef();
        PyTuple_SET_ITEM(owned.get(), i, copy);
    }
    return owned;
}

// The codec an encoding name stands for: a name of the packing table (a
// family narrowed by "bits"), else one of the parsing table.
bool resolve_encoding(const TextField& encoding, std::uint32_t bits, FieldEncoding& out) {
    std::string storage;
    std::string_view lowered;
    if (!lowercase(encoding, storage, lowered)) return false;
    const EncodingNameRow* row = find_encoding_name(NameDirection::packing, lowered);
    if (!row) row = find_encoding_name(NameDirection::unpacking, lowered);
    return take(select_encoding(row, encoding.text, bits), out);
}

// "big", "little", "lsb_first", "little_lsb0", or digits that permute the
// field's bytes ("3412": bytes 11 22 33 44 read as 0x33441122).
bool resolve_order(const TextField& byte_order, std::uint32_t bits, FrameField& layout) {
    std::string storage;
    std::string_view lowered;
    if (!lowercase(byte_order, storage, lowered)) return false;
    if (lowered == "lsb_first") {
        layout.arrangement = Arrangement::lsb_first;
        return true;
    }
    if (lowered == "little_lsb0") {
        layout.arrangement = Arrangement::little_lsb0;
        return true;
    }
    const bool digits = !lowered.empty() && std::all_of(lowered.begin(), lowered.end(), [](char c) {
        return c >= '0' && c <= '9';
    });
    if (!digits) {
        if (lowered == "big" || lowered == "little") return take(resolve_byte_order(lowered, byte_order.text), layout.order);
        raise_codec_error(make_error(ErrorKind::value_error,
                                     "Invalid byte_order '{}': must be 'big', 'little', 'lsb_first', "
                                     "'little_lsb0' or a permutation of the field's bytes such as '3412'",
                                     {byte_order.text}));
        return false;
    }
    const std::size_t count = lowered.size();
    bool seen[9] = {};
    bool valid = count <= 8 && bits == 8 * count;
    // Read right to left, the digits give the value's bytes from the most
    // significant, each the field byte that holds it counted from the
    // field's last byte (1): ccsdspy's reading of these strings.
    for (std::size_t k = 0; valid && k < count; ++k) {
        const unsigned digit = static_cast<unsigned>(lowered[count - 1 - k] - '0');
        valid = digit >= 1 && digit <= count && !seen[digit];
        if (valid) {
            seen[digit] = true;
            layout.permutation[k] = static_cast<std::uint8_t>(count - digit);
        }
    }
    if (!valid) {
        raise_codec_error(make_error(ErrorKind::value_error,
                                     "byte_order '{}' is not a permutation of the bytes of a field "
                                     "of {} bits: it needs one digit per byte, each of 1 to {} once",
                                     {byte_order.text, bits, (bits + 7) / 8}));
        return false;
    }
    layout.arrangement = Arrangement::permuted;
    return true;
}

// A dict key for the name: an exact, interned str.
PyRef name_key(const TextField& name) {
    PyObject* key = PyUnicode_CheckExact(name.object)
                        ? Py_NewRef(name.object)
                        : PyUnicode_FromStringAndSize(name.text.data(),
                                                      static_cast<Py_ssize_t>(name.text.size()));
    if (!key) return PyRef();
    PyUnicode_InternInPlace(&key);
    return PyRef(key);
}

// "count": the field is an array of that many elements, each the field the
// other keys describe.  An int from 1 to 2^31 - 1 (Arrow's largest list
// size); absent, the field is one value.  Counts that name a field or are
// "rest" make frames of varying length, which bitloom.frames reads from
// the codecs of their fixed parts.
bool read_count(PyObject* item, const FrameField& layout, std::uint32_t& count) {
    count = 0;
    PyObject* found = nullptr;
    if (PyDict_GetItemStringRef(item, "count", &found) < 0) return false;
    PyRef object(found);
    if (!object) return true;
    if (!PyLong_Check(object.get()) || PyBool_Check(object.get())) {
        PyErr_Format(PyExc_TypeError, "count must be an int, not '%s'", Py_TYPE(object.get())->tp_name);
        return false;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(object.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && value < 1)) {
        PyErr_Format(PyExc_ValueError, "count must be at least 1, not %R", object.get());
        return false;
    }
    if (overflow > 0 || value > INT32_MAX) {
        PyErr_Format(PyExc_ValueError, "count must be at most 2147483647 (the largest Arrow list), not %R",
                     object.get());
        return false;
    }
    if (!is_numeric(column_kind(layout.codec))) {
        PyErr_SetString(PyExc_ValueError, "arrays take numeric encodings only");
        return false;
    }
    if (layout.arrangement == Arrangement::little_lsb0) {
        PyErr_SetString(PyExc_ValueError, "arrays take no byte_order 'little_lsb0': give each element as a field");
        return false;
    }
    count = static_cast<std::uint32_t>(value);
    return true;
}

// The end of `total` bits from `start`, or false with the error raised.
bool span_end(std::uint64_t start, std::uint64_t total, std::uint64_t& end) {
    if (total <= UINT32_MAX) return take(field_end(start, static_cast<std::uint32_t>(total)), end);
    if (start > UINT64_MAX - total) {
        PyErr_Format(PyExc_ValueError, "an array of %llu bits at bit %llu ends beyond the largest bit position",
                     static_cast<unsigned long long>(total), static_cast<unsigned long long>(start));
        return false;
    }
    end = start + total;
    return true;
}

// An array's default "value": a sequence of exactly `count` values, each
// encoded for its element.
bool encode_array_default(const BoundField& field, PyObject* value, std::vector<std::uint8_t>& scratch,
                          std::vector<std::uint64_t>& out) {
    const FrameField& layout = field.layout;
    PyRef values;
    if (!PyUnicode_Check(value) && !PyBytes_Check(value) && !PyByteArray_Check(value) && !PyDict_Check(value)) {
        values = PyRef(PySequence_Tuple(value));
        if (!values) PyErr_Clear();
    }
    if (!values || PyTuple_GET_SIZE(values.get()) != static_cast<Py_ssize_t>(layout.count)) {
        PyErr_Format(PyExc_ValueError, "the value of an array of %u elements must be a sequence of %u values",
                     static_cast<unsigned>(layout.count), static_cast<unsigned>(layout.count));
        return false;
    }
    out.reserve(layout.count);
    for (std::uint32_t k = 0; k < layout.count; ++k) {
        BoundField element = field;
        element.layout = layout.element(k);
        EncodedField encoded;
        if (!encode_value(element, PyTuple_GET_ITEM(values.get(), k), scratch, encoded)) {
            PyRef where(PyUnicode_FromFormat("element %u of the value", static_cast<unsigned>(k)));
            locate_pending_error(where.get());
            return false;
        }
        out.push_back(encoded.bits);
    }
    return true;
}

// Where an item without "offset_bits" goes: the end of the one before it,
// in the numbering of that item's bits (little_lsb0 counts each byte's bits
// from its least significant).  The two numberings agree at byte
// boundaries only, so inside a byte an item of the other numbering needs
// its offset_bits.
struct Cursor {
    std::uint64_t bit = 0;
    bool lsb0 = false;
};

bool compile_item(Compiled& compiled, Py_ssize_t index, PyObject* item, Cursor& cursor,
                  std::uint64_t& length_bits, std::vector<std::uint8_t>& scratch) {
    ItemEntries entries;
    RecipeItem fields;
    CompiledField field;
    auto fail = [&] {
        locate_pending_error(item_label(index, entries[RecipeKey::name]).get());
        return false;
    };
    ReadState state;
    if (!scan_item(item, entries) || !read_recipe_item(item, entries, state, fields)) return fail();
    FieldEncoding encoding{};
    FrameField layout;
    if (!resolve_encoding(fields.encoding, fields.bits, encoding) ||
        !resolve_order(fields.byte_order, fields.bits, layout)) {
        return fail();
    }
    layout.bits = fields.bits;
    layout.codec = encoding.codec;
    layout.text = encoding.text;
    layout.reverse = fields.reverse_bits;
    if (Status checked = check_field(layout, encoding.reserved); !checked) {
        raise_codec_error(checked.error());
        return fail();
    }
    if (!read_count(item, layout, layout.count)) return fail();
    // Where packing places the field, and how long packing makes the frame:
    // its length pass puts an item without "offset_bits" after the furthest
    // end so far, so the frame can be longer than its last field.
    const bool lsb0 = layout.arrangement == Arrangement::little_lsb0;
    if (!fields.has_offset && cursor.bit % 8 != 0 && cursor.lsb0 != lsb0) {
        PyErr_Format(PyExc_ValueError,
                     "the item before ends inside a byte, whose bits byte_order 'little_lsb0' numbers from "
                     "the least significant and other fields from the most: give offset_bits");
        return fail();
    }
    layout.start = fields.has_offset ? fields.offset_bits : cursor.bit;
    std::uint64_t end = 0;
    std::uint64_t counted_end = 0;
    if (!span_end(layout.start, layout.total_bits(), end) ||
        !span_end(fields.has_offset ? fields.offset_bits : length_bits, layout.total_bits(), counted_end)) {
        return fail();
    }
    if (lsb0 && (end > UINT64_MAX - 7 || counted_end > UINT64_MAX - 7)) {
        PyErr_SetString(PyExc_ValueError, "the field ends beyond the largest bit position");
        return fail();
    }
    // lsb_first pieces are cut at the frame's bytes, counted from its bit 0
    // (of an array: where its first element ends).
    const std::uint64_t first_end = layout.start + fields.bits;
    layout.end_phase = static_cast<std::uint8_t>(first_end % 8 == 0 ? 8 : first_end % 8);
    cursor = {end, lsb0};
    // A little_lsb0 field's end in its own numbering is in the same byte
    // (the frame's length is whole bytes).
    length_bits = std::max(length_bits, counted_end);
    compiled.extent_bits = std::max(compiled.extent_bits, layout.end());

    PyRef name = name_key(fields.name);
    if (!name) return fail();
    PyObject* earlier = nullptr;
    if (PyDict_GetItemRef(compiled.name_index, name.get(), &earlier) < 0) return fail();
    if (earlier) {
        PyErr_Format(PyExc_ValueError, "duplicate name %R (also recipe item %S)", name.get(), earlier);
        Py_DECREF(earlier);
        return fail();
    }
    PyRef position(PyLong_FromSsize_t(index));
    if (!position || PyDict_SetItem(compiled.name_index, name.get(), position.get()) < 0) return fail();

    field.codec = bind_field(layout, encoding);
    field.codec.strip_padding = compiled.strip_text;
    PyRef& default_value = entries.values[static_cast<std::size_t>(RecipeKey::value)];
    if (default_value && layout.count != 0) {
        if (layout.codec != FieldCodec::ieee754_f128 &&
            !encode_array_default(field.codec, default_value.get(), scratch, field.default_elements)) {
            return fail();
        }
        field.default_encoded = layout.codec != FieldCodec::ieee754_f128;
        field.default_value = default_value.release();
    } else if (default_value) {
        // binary128 cannot be encoded: its default is refused when it is used.
        if (layout.codec != FieldCodec::ieee754_f128) {
            EncodedField encoded;
            if (!encode_value(field.codec, default_value.get(), scratch, encoded)) return fail();
            field.default_bits = encoded.bits;
            field.default_bytes.assign(encoded.bytes.begin(), encoded.bytes.end());
            field.default_encoded = true;
        }
        field.default_value = default_value.release();
    }
    field.encoding = PyUnicode_CheckExact(fields.encoding.object)
                         ? Py_NewRef(fields.encoding.object)
                         : PyUnicode_FromStringAndSize(fields.encoding.text.data(),
                                                       static_cast<Py_ssize_t>(fields.encoding.text.size()));
    if (!field.encoding) return fail();
    field.name = name.release();
    compiled.layouts.push_back(field.codec.layout);
    compiled.fields.push_back(std::move(field));
    return true;
}

bool compile_recipe(PyObject* recipe, Compiled& compiled) {
    PyRef items = copy_items(recipe);
    if (!items) return false;
    compiled.name_index = PyDict_New();
    if (!compiled.name_index) return false;
    const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
    compiled.fields.reserve(static_cast<std::size_t>(count));
    compiled.layouts.reserve(static_cast<std::size_t>(count));
    Cursor cursor;
    std::uint64_t length_bits = 0;
    std::vector<std::uint8_t> scratch;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!compile_item(compiled, i, PyTuple_GET_ITEM(items.get(), i), cursor, length_bits, scratch)) {
            return false;
        }
    }
    // A codec for reading may read the same bits twice (a status word and
    // the flags inside it); only packing needs every bit to have one owner.
    if (auto overlap = compiled.read_only ? std::nullopt : find_overlap(compiled.layouts)) {
        const FrameField& later = compiled.layouts[overlap->later];
        const FrameField& earlier = compiled.layouts[overlap->earlier];
        PyRef earlier_label = item_label(static_cast<Py_ssize_t>(overlap->earlier),
                                         compiled.fields[overlap->earlier].name);
        if (!earlier_label) return false;
        PyErr_Format(PyExc_ValueError, "bits %llu to %llu overlap %U (bits %llu to %llu)",
                     static_cast<unsigned long long>(later.start),
                     static_cast<unsigned long long>(later.start + later.total_bits() - 1), earlier_label.get(),
                     static_cast<unsigned long long>(earlier.start),
                     static_cast<unsigned long long>(earlier.start + earlier.total_bits() - 1));
        locate_pending_error(item_label(static_cast<Py_ssize_t>(overlap->later),
                                        compiled.fields[overlap->later].name).get());
        return false;
    }
    compiled.size = length_bits / 8 + (length_bits % 8 != 0);
    if (compiled.size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_Format(PyExc_ValueError, "a frame of %llu bits is too large",
                     static_cast<unsigned long long>(length_bits));
        return false;
    }
    compiled.recipe = PySequence_List(items.get());
    if (!compiled.recipe) return false;
    compiled.names = PyTuple_New(count);
    if (!compiled.names) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = compiled.fields[static_cast<std::size_t>(i)].name;
        PyTuple_SET_ITEM(compiled.names, i, Py_NewRef(name));
    }
    return compiled.result_shape.build(compiled.names);
}

// text_padding: "keep" (the default) or "strip".
bool parse_text_padding(PyObject* object, bool& strip) {
    strip = false;
    if (!object) return true;
    if (PyUnicode_Check(object)) {
        if (PyUnicode_CompareWithASCIIString(object, "keep") == 0) return true;
        if (PyUnicode_CompareWithASCIIString(object, "strip") == 0) {
            strip = true;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "text_padding must be 'keep' or 'strip', not %R", object);
    return false;
}

PyObject* codec_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"recipe", "text_padding", "read_only", nullptr};
    PyObject* recipe = nullptr;
    PyObject* padding = nullptr;
    int read_only = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$Op:FrameCodec", const_cast<char**>(keywords),
                                     &recipe, &padding, &read_only)) {
        return nullptr;
    }
    bool strip = false;
    if (!parse_text_padding(padding, strip)) return nullptr;
    return guarded_entry("FrameCodec", [&]() -> PyObject* {
        // Compiling runs Python code (conversion hooks, copy.deepcopy), so
        // the object is made only once the compiled state is whole: no
        // finaliser and no walk of gc.get_objects() ever meets a codec that
        // is half built.
        auto compiled = std::make_unique<Compiled>();
        compiled->strip_text = strip;
        compiled->read_only = read_only != 0;
        if (!compile_recipe(recipe, *compiled)) return nullptr;
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        reinterpret_cast<FrameCodecObject*>(self)->compiled = compiled.release();
        return self;
    });
}

int codec_traverse(PyObject* self, visitproc visit, void* arg) {
    Compiled* compiled = reinterpret_cast<FrameCodecObject*>(self)->compiled;
    if (!compiled) return 0;
    Py_VISIT(compiled->recipe);
    for (const CompiledField& field : compiled->fields) Py_VISIT(field.default_value);
    return 0;
}

int codec_clear(PyObject* self) {
    auto* object = reinterpret_cast<FrameCodecObject*>(self);
    delete std::exchange(object->compiled, nullptr);
    return 0;
}

void codec_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    codec_clear(self);
    Py_TYPE(self)->tp_free(self);
}

}  // namespace bitloom::frames
