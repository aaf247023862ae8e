// FrameCodec.pack: values from a dict, another mapping or a sequence, each
// converted and encoded through its field's row and placed at its bits.
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

// ---- packing ------------------------------------------------------------------

// `ordered`: a dict whose keys are the field names themselves, in field
// order, read by position.
enum class ValueSource { dict, ordered, sequence, mapping };

// True for the exact types of a numeric lane, which every row with that
// lane converts without running Python code: told without calling the row.
inline bool lane_type(const BoundField& field, PyObject* value) noexcept {
    switch (field.lane.kind) {
        case LaneKind::unsigned_integer:
        case LaneKind::twos_complement: return PyLong_CheckExact(value);
        case LaneKind::float32:
        case LaneKind::float64: return PyFloat_CheckExact(value) || PyLong_CheckExact(value);
        default: return false;
    }
}

// Whether a dict key is the field's name: the name object itself (a dict
// built from `names` or from the same string literals), or an exact str with
// its text (a dict whose keys were made at run time, by a JSON decoder for
// instance), which is the entry a lookup by the name would find.  A str
// subclass is not taken: its own hash or equality decides a lookup.
inline bool is_field_name(PyObject* key, PyObject* name) noexcept {
    if (key == name) return true;
    if (!PyUnicode_CheckExact(key)) return false;
    // str objects are stored in their narrowest kind, so equal texts have
    // equal kinds and lengths.
    const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
    const int kind = PyUnicode_KIND(key);
    return length == PyUnicode_GET_LENGTH(name) && kind == PyUnicode_KIND(name) &&
           std::memcmp(PyUnicode_DATA(key), PyUnicode_DATA(name),
                       static_cast<std::size_t>(length) * static_cast<std::size_t>(kind)) == 0;
}

// The values of a dict that holds exactly the fields, keyed by their names
// in field order (is_field_name), each converting without running Python
// code: taken by walking its entries, with no hashing.
class OrderedValues {
  public:
    static constexpr std::size_t kMostFields = 64;

    bool take(PyObject* dict, const std::vector<CompiledField>& fields) {
        if (fields.size() > kMostFields) return false;
        bool in_order = false;
        // Without the GIL the dict's own lock keeps other threads from
        // changing it during the walk; nothing in the walk runs Python code.
        Py_BEGIN_CRITICAL_SECTION(dict);
        in_order = PyDict_GET_SIZE(dict) == static_cast<Py_ssize_t>(fields.size()) &&
                   for_each_entry(dict, [&](PyObject* key, PyObject* value) {
                       if (count_ == fields.size() || !is_field_name(key, fields[count_].name)) return false;
                       // A conversion that runs Python code may change the dict: such
                       // values are read by name, afresh, as for any other dict.
                       if (!lane_type(fields[count_].codec, value) &&
                           !fields[count_].codec.row->converts_in_place(value)) {
                           return false;
                       }
                       values_[count_++] = Py_NewRef(value);
                       return true;
                   });
        Py_END_CRITICAL_SECTION();
        return in_order && count_ == fields.size();
    }
    PyObject* const* values() const noexcept { return values_; }
    ~OrderedValues() {
        for (std::size_t k = 0; k < count_; ++k) Py_DECREF(values_[k]);
    }

  private:
    PyObject* values_[kMostFields];
    std::size_t count_ = 0;
};

// collections.abc.Mapping, set once by prepare_frame_codecs before any codec
// exists and only read afterwards, so threads share it without a lock.
PyObject* g_mapping_type = nullptr;

bool is_mapping(PyObject* values) {
    const int result = PyObject_IsInstance(values, g_mapping_type);
    if (result < 0) PyErr_Clear();
    return result > 0;
}

[[gnu::cold]] PyObject* raise_unknown_key(const Compiled& compiled, PyObject* values) {
    PyRef keys(PyMapping_Keys(values));
    if (!keys) return nullptr;
    const Py_ssize_t count = PyList_GET_SIZE(keys.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* key = PyList_GET_ITEM(keys.get(), i);
        const int known = PyDict_Contains(compiled.name_index, key);
        if (known < 0) return nullptr;
        if (!known) {
            PyErr_Format(PyExc_KeyError, "%R is not a field of this FrameCodec", key);
            return nullptr;
        }
    }
    PyErr_SetString(PyExc_KeyError, "the values hold keys that are not fields of this FrameCodec");
    return nullptr;
}

[[gnu::cold]] bool raise_missing(const CompiledField& field) {
    PyRef label = field_label(field.name);
    if (label) {
        PyErr_Format(PyExc_KeyError, "%U: no value given, and its recipe item has no \"value\"", label.get());
    }
    return false;
}

[[gnu::cold]] bool raise_not_a_sequence(const CompiledField& field, PyObject* raw) {
    PyRef label = field_label(field.name);
    if (label) {
        PyErr_Format(PyExc_TypeError, "%U is an array: it takes a sequence of %u values, not '%s'", label.get(),
                     static_cast<unsigned>(field.codec.layout.count), Py_TYPE(raw)->tp_name);
    }
    return false;
}

// Packs an array field: a sequence of exactly `count` values (read once,
// into a tuple, so that a conversion hook cannot change what is read), each
// encoded for its element; or its default.
bool pack_array(const CompiledField& field, PyObject* raw, std::vector<std::uint8_t>& scratch,
                PacketWriter& frame) {
    const FrameField& layout = field.codec.layout;
    if (!raw && field.default_encoded) {
        for (std::uint32_t k = 0; k < layout.count; ++k) {
            frame.place_number(field.default_elements[k], layout.start + std::uint64_t{k} * layout.bits, layout.bits);
        }
        return true;
    }
    if (!raw) raw = field.default_value;
    if (!raw) return raise_missing(field);
    if (PyUnicode_Check(raw) || PyBytes_Check(raw) || PyByteArray_Check(raw) || is_mapping(raw)) {
        return raise_not_a_sequence(field, raw);
    }
    PyRef values(PySequence_Tuple(raw));
    if (!values) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();
        return raise_not_a_sequence(field, raw);
    }
    if (PyTuple_GET_SIZE(values.get()) != static_cast<Py_ssize_t>(layout.count)) {
        PyRef label = field_label(field.name);
        if (label) {
            PyErr_Format(PyExc_ValueError, "%U takes exactly %u values, not %zd", label.get(),
                         static_cast<unsigned>(layout.count), PyTuple_GET_SIZE(values.get()));
        }
        return false;
    }
    BoundField element = field.codec;
    for (std::uint32_t k = 0; k < layout.count; ++k) {
        element.layout = layout.element(k);
        PyObject* value = PyTuple_GET_ITEM(values.get(), k);
        std::uint64_t placed = 0;
        if (encode_in_lane(element, value, placed)) {
            frame.place_number(placed, element.layout.start, layout.bits);
            continue;
        }
        EncodedField encoded;
        if (!encode_value(element, value, scratch, encoded)) {
            locate_pending_error(element_label(field.name, k).get());
            return false;
        }
        write_field(element.layout, encoded, frame);
    }
    return true;
}

// Packs one field from `raw` (null: the value is missing), through the
// field's row, or from its default.
bool pack_field(const CompiledField& field, PyObject* raw, std::vector<std::uint8_t>& scratch,
                PacketWriter& frame) {
    if (field.codec.layout.count != 0) return pack_array(field, raw, scratch, frame);
    EncodedField encoded;
    if (raw) {
        if (!encode_value(field.codec, raw, scratch, encoded)) {
            locate_pending_error(field_label(field.name).get());
            return false;
        }
    } else if (field.default_encoded) {
        encoded.bits = field.default_bits;
        encoded.bytes = field.default_bytes;
    } else if (field.default_value) {
        if (!encode_value(field.codec, field.default_value, scratch, encoded)) {
            locate_pending_error(field_label(field.name).get());
            return false;
        }
    } else {
        return raise_missing(field);
    }
    write_field(field.codec.layout, encoded, frame);
    return true;
}

// Packs values that no conversion can change under the loop: the first
// `count` fields from `values` (borrowed), the others from their defaults.
// A numeric value its lane takes is placed in line.
bool pack_fixed_values(const std::vector<CompiledField>& fields, PyObject* const* values,
                       std::size_t count, std::vector<std::uint8_t>& scratch, PacketWriter& frame) {
    for (std::size_t j = 0; j < fields.size(); ++j) {
        const CompiledField& field = fields[j];
        PyObject* raw = j < count ? values[j] : nullptr;
        std::uint64_t placed = 0;
        if (raw && field.codec.plain_number && pattern_in_lane(field.codec.lane, raw, placed)) {
            // Its pattern is its bits as they lie.
            frame.place_number(placed, field.codec.layout.start, field.codec.layout.bits);
            continue;
        }
        if (raw && field.codec.layout.count == 0 && encode_in_lane(field.codec, raw, placed)) {
            place_field_number(field.codec.layout, placed, frame);
            continue;
        }
        if (!pack_field(field, raw, scratch, frame)) return false;
    }
    return true;
}

// Packs values read one at a time from a dict, another mapping or a list,
// whose contents a conversion hook may change: each is read just before
// its field is packed.  A numeric value its lane takes is placed in line.
bool pack_read_values(const Compiled& compiled, ValueSource source, PyObject* values,
                      std::vector<std::uint8_t>& scratch, PacketWriter& frame, Py_ssize_t& found) {
    for (std::size_t j = 0; j < compiled.fields.size(); ++j) {
        const CompiledField& field = compiled.fields[j];
        PyRef value;
        PyObject* raw = nullptr;
        int present = 0;
        switch (source) {
            case ValueSource::dict:
                present = PyDict_GetItemRef(values, field.name, &raw);
                value = PyRef(raw);
                break;
            case ValueSource::mapping:
                present = PyMapping_GetOptionalItem(values, field.name, &raw);
                value = PyRef(raw);
                break;
            default:
                value = recipe_item_at(values, static_cast<Py_ssize_t>(j));
                present = value ? 1 : 0;
                break;
        }
        if (present < 0) return false;
        found += present;
        std::uint64_t placed = 0;
        if (value && field.codec.layout.count == 0 && encode_in_lane(field.codec, value.get(), placed)) {
            place_field_number(field.codec.layout, placed, frame);
            continue;
        }
        if (!pack_field(field, value.get(), scratch, frame)) return false;
    }
    return true;
}

PyObject* pack_values(PyObject* self, PyObject* values) {
    if (!usable(self)) return nullptr;
    const Compiled& compiled = compiled_of(self);
    ValueSource source = ValueSource::sequence;
    PyRef sequence;
    OrderedValues ordered;
    if (PyDict_CheckExact(values)) {
        source = ordered.take(values, compiled.fields) ? ValueSource::ordered : ValueSource::dict;
    } else if (PyList_Check(values) || PyTuple_Check(values)) {
        sequence = PyRef::borrow(values);
    } else if (is_mapping(values)) {
        source = ValueSource::mapping;
    } else if (PySequence_Check(values) && !PyUnicode_Check(values) && !PyBytes_Check(values) &&
               !PyByteArray_Check(values)) {
        sequence = PyRef(PySequence_List(values));
        if (!sequence) return nullptr;
    } else {
        PyErr_Format(PyExc_TypeError,
                     "pack() takes a mapping of field names to values or a sequence of values, "
                     "not '%s'",
                     Py_TYPE(values)->tp_name);
        return nullptr;
    }
    const std::size_t field_count = compiled.fields.size();
    if (sequence && static_cast<std::size_t>(PySequence_Fast_GET_SIZE(sequence.get())) > field_count) {
        PyErr_Format(PyExc_TypeError, "pack() got %zd values for %zu fields",
                     PySequence_Fast_GET_SIZE(sequence.get()), field_count);
        return nullptr;
    }
    // The frame is built in a zeroed buffer with eight spare bytes, so that
    // every field up to 64 bits is written a word at a time; then copied
    // into bytes.
    const std::size_t size = static_cast<std::size_t>(compiled.size);
    std::uint8_t small[kSmallFrame + 8];
    std::vector<std::uint8_t> large;
    std::uint8_t* buffer = small;
    if (size > kSmallFrame) {
        large.resize(size + 8);
        buffer = large.data();
    } else {
        std::memset(buffer, 0, size + 8);
    }
    PacketWriter frame({buffer, size + 8});

    std::vector<std::uint8_t> scratch;
    bool packed = false;
    if (source == ValueSource::ordered) {
        packed = pack_fixed_values(compiled.fields, ordered.values(), field_count, scratch, frame);
    } else if (sequence && PyTuple_CheckExact(sequence.get())) {
        // A tuple cannot change under a conversion hook.
        packed = pack_fixed_values(compiled.fields, PySequence_Fast_ITEMS(sequence.get()),
                                   static_cast<std::size_t>(PyTuple_GET_SIZE(sequence.get())),
                                   scratch, frame);
    } else {
        Py_ssize_t found = 0;
        packed = pack_read_values(compiled, source, sequence ? sequence.get() : values, scratch,
                                  frame, found);
        if (packed && (source == ValueSource::dict || source == ValueSource::mapping)) {
            const Py_ssize_t given = PyObject_Length(values);
            if (given < 0) return nullptr;
            if (given != found) return raise_unknown_key(compiled, values);
        }
    }
    if (!packed) return nullptr;
    frame.finish();
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buffer),
                                     static_cast<Py_ssize_t>(size));
}

PyObject* codec_pack(PyObject* self, PyObject* values) {
    if (usable(self) && compiled_of(self).read_only) {
        PyErr_SetString(PyExc_ValueError,
                        "this FrameCodec was made with read_only=True, so its fields may overlap and "
                        "packing one would overwrite another: make a codec without read_only to pack");
        return nullptr;
    }
    return guarded_entry("FrameCodec.pack", [&] { return pack_values(self, values); });
}


bool prepare_frame_codecs() {
    if (g_mapping_type) return true;
    PyRef abc(PyImport_ImportModule("collections.abc"));
    if (!abc) return false;
    g_mapping_type = PyObject_GetAttrString(abc.get(), "Mapping");
    return g_mapping_type != nullptr;
}

}  // namespace bitloom::frames
