// FrameCodec: construction checks a recipe once and compiles every item
// into a FrameField plus what Python needs beside it (the interned name, the
// default value); pack, unpack and unpack_many then run on those structs.
//
// Errors name where they happened: construction errors start with "recipe
// item {index} ('{name}'): ", packing and parsing errors with "field
// '{name}': " (and the frame, for many frames).  The exception keeps its
// natural type; an exception that is not one of the interpreter's plain
// ones (raised by a value's own conversion hook, say) passes through
// unchanged with a note naming the place instead.
#include "frames_module/frame_codec.hpp"

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

namespace {

struct CompiledField {
    BoundField codec;                   // the layout and its row
    PyObject* name = nullptr;           // an interned exact str, owned
    PyObject* encoding = nullptr;       // the encoding name as the item gave it, an exact str, owned
    PyObject* default_value = nullptr;  // the item's "value", owned; null when absent
    bool default_encoded = false;       // false: encode default_value on use
    std::uint64_t default_bits = 0;
    std::vector<std::uint8_t> default_bytes;
};

struct Compiled {
    std::vector<CompiledField> fields;
    std::vector<FrameField> layouts;  // the same fields, for the pure routines
    std::uint64_t size = 0;           // bytes of a packed frame
    std::uint64_t extent_bits = 0;    // the furthest end of a field
    PyObject* recipe = nullptr;       // the item dicts as compiled, owned
    PyObject* names = nullptr;        // tuple, owned
    DictTemplate result_shape;        // the names, for the result of unpack
    PyObject* name_index = nullptr;     // {name: position}, owned
    bool strip_text = false;          // text values lose their trailing NUL padding
    bool read_only = false;           // fields may overlap; packing is refused

    ~Compiled() {
        for (CompiledField& field : fields) {
            Py_XDECREF(field.name);
            Py_XDECREF(field.encoding);
            Py_XDECREF(field.default_value);
        }
        Py_XDECREF(recipe);
        Py_XDECREF(names);
        Py_XDECREF(name_index);
    }
};

struct FrameCodecObject {
    PyObject_HEAD
    Compiled* compiled;
};

Compiled& compiled_of(PyObject* self) noexcept {
    return *reinterpret_cast<FrameCodecObject*>(self)->compiled;
}

// ---- errors ------------------------------------------------------------------

bool is_plain_error(PyObject* type) noexcept {
    return type == PyExc_ValueError || type == PyExc_TypeError || type == PyExc_OverflowError ||
           type == PyExc_KeyError || type == PyExc_NotImplementedError ||
           type == PyExc_IndexError;
}

// Puts `label` in front of the pending exception's message, or adds it as
// a note when the exception is not a plain one-message error.
[[gnu::cold]] void locate_pending_error(PyObject* label) {
    PyRef raised(PyErr_GetRaisedException());
    if (!raised || !label) {
        if (raised) PyErr_SetRaisedException(raised.release());
        return;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(raised.get()));
    PyRef args(PyException_GetArgs(raised.get()));
    if (is_plain_error(type) && args && PyTuple_GET_SIZE(args.get()) == 1 &&
        PyUnicode_Check(PyTuple_GET_ITEM(args.get(), 0))) {
        PyRef message(PyUnicode_FromFormat("%U: %U", label, PyTuple_GET_ITEM(args.get(), 0)));
        if (message) PyErr_SetObject(type, message.get());
        return;
    }
    PyRef note(PyUnicode_FromFormat("in %U", label));
    if (note) {
        PyRef added(PyObject_CallMethod(raised.get(), "add_note", "O", note.get()));
        if (!added) PyErr_Clear();  // the note is a courtesy
    } else {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(raised.release());
}

// str's own repr of a name, never a subclass override.
PyRef quoted(PyObject* name) { return PyRef(PyUnicode_Type.tp_repr(name)); }

[[gnu::cold]] PyRef item_label(Py_ssize_t index, PyObject* name) {
    if (name && PyUnicode_Check(name)) {
        PyRef text = quoted(name);
        if (!text) return PyRef();
        return PyRef(PyUnicode_FromFormat("recipe item %zd (%U)", index, text.get()));
    }
    return PyRef(PyUnicode_FromFormat("recipe item %zd", index));
}

[[gnu::cold]] PyRef field_label(PyObject* name) {
    PyRef text = quoted(name);
    if (!text) return PyRef();
    return PyRef(PyUnicode_FromFormat("field %U", text.get()));
}

// ---- arguments ---------------------------------------------------------------

// Binds fast-call arguments to `names`: the first `positional` may come by
// position, the rest only by keyword; the first `required` must be given.
bool bind_arguments(const char* function, PyObject* const* args, Py_ssize_t count,
                    PyObject* keyword_names, std::initializer_list<const char*> names,
                    Py_ssize_t positional, Py_ssize_t required, PyObject** bound) {
    const Py_ssize_t total = static_cast<Py_ssize_t>(names.size());
    for (Py_ssize_t i = 0; i < total; ++i) bound[i] = nullptr;
    if (count > positional) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd positional argument%s (%zd given)",
                     function, positional, positional == 1 ? "" : "s", count);
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) bound[i] = args[i];
    const Py_ssize_t keywords = keyword_names ? PyTuple_GET_SIZE(keyword_names) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(keyword_names, k);
        Py_ssize_t slot = -1;
        Py_ssize_t i = 0;
        for (const char* name : names) {
            if (PyUnicode_CompareWithASCIIString(keyword, name) == 0) slot = i;
            ++i;
        }
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function,
                         keyword);
            return false;
        }
        if (bound[slot]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", function,
                         keyword);
            return false;
        }
        bound[slot] = args[count + k];
    }
    Py_ssize_t i = 0;
    for (const char* name : names) {
        if (i < required && !bound[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", function, name);
            return false;
        }
        ++i;
    }
    return true;
}

bool convert_offset(PyObject* object, std::uint64_t& out) {
    out = 0;
    if (!object) return true;
    if (convert_uint64(object, out)) return true;
    wrap_argument_error("offset_bits");
    return false;
}

// The bytes of any contiguous buffer, held for the life of the view.
class BufferView {
  public:
    bool acquire(PyObject* object) {
        if (PyBytes_CheckExact(object)) {
            data_ = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object)),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(object))};
            return true;
        }
        if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) < 0) return false;
        held_ = true;
        data_ = {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
        return true;
    }
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }
    std::span<const std::uint8_t> data() const noexcept { return data_; }

  private:
    Py_buffer view_{};
    bool held_ = false;
    std::span<const std::uint8_t> data_;
};

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

// "big", "little", "lsb_first", or digits that permute the field's bytes
// ("3412": bytes 11 22 33 44 read as 0x33441122).
bool resolve_order(const TextField& byte_order, std::uint32_t bits, FrameField& layout) {
    std::string storage;
    std::string_view lowered;
    if (!lowercase(byte_order, storage, lowered)) return false;
    if (lowered == "lsb_first") {
        layout.arrangement = Arrangement::lsb_first;
        return true;
    }
    const bool digits = !lowered.empty() && std::all_of(lowered.begin(), lowered.end(), [](char c) {
        return c >= '0' && c <= '9';
    });
    if (!digits) {
        if (lowered == "big" || lowered == "little") return take(resolve_byte_order(lowered, byte_order.text), layout.order);
        raise_codec_error(make_error(ErrorKind::value_error,
                                     "Invalid byte_order '{}': must be 'big', 'little', 'lsb_first' "
                                     "or a permutation of the field's bytes such as '3412'",
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

bool compile_item(Compiled& compiled, Py_ssize_t index, PyObject* item, std::uint64_t& cursor,
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
    // Where packing places the field, and how long packing makes the frame:
    // its length pass puts an item without "offset_bits" after the furthest
    // end so far, so the frame can be longer than its last field.
    layout.start = fields.has_offset ? fields.offset_bits : cursor;
    std::uint64_t end = 0;
    std::uint64_t counted_end = 0;
    if (!take(field_end(layout.start, fields.bits), end) ||
        !take(field_end(fields.has_offset ? fields.offset_bits : length_bits, fields.bits),
              counted_end)) {
        return fail();
    }
    // lsb_first pieces are cut at the frame's bytes, counted from its bit 0.
    layout.end_phase = static_cast<std::uint8_t>(end % 8 == 0 ? 8 : end % 8);
    cursor = end;
    length_bits = std::max(length_bits, counted_end);
    compiled.extent_bits = std::max(compiled.extent_bits, end);

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
    if (default_value) {
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
    std::uint64_t cursor = 0;
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
                     static_cast<unsigned long long>(later.end() - 1), earlier_label.get(),
                     static_cast<unsigned long long>(earlier.start),
                     static_cast<unsigned long long>(earlier.end() - 1));
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

// Every method of a codec whose construction failed (or that was cleared
// by the cycle collector) refuses to run.
[[gnu::cold]] bool raise_unusable() {
    PyErr_SetString(PyExc_ValueError, "the FrameCodec was not constructed");
    return false;
}

bool usable(PyObject* self) {
    return reinterpret_cast<FrameCodecObject*>(self)->compiled != nullptr || raise_unusable();
}

// ---- packing ------------------------------------------------------------------

// `ordered`: a dict whose keys are the field names themselves, in field
// order, read by position.
enum class ValueSource { dict, ordered, sequence, mapping };

// The values of a dict that holds exactly the fields, keyed by the codec's
// own name objects in field order (a dict built from `names`, or from the
// same string literals), each converting without running Python code:
// taken by walking its entries, with no hashing.
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
                       if (count_ == fields.size() || key != fields[count_].name) return false;
                       // A conversion that runs Python code may change the dict: such
                       // values are read by name, afresh, as for any other dict.
                       if (!fields[count_].codec.row->converts_in_place(value)) return false;
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

constexpr std::size_t kSmallFrame = 512;

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

// Packs one field from `raw` (null: the value is missing), through the
// field's row, or from its default.
bool pack_field(const CompiledField& field, PyObject* raw, std::vector<std::uint8_t>& scratch,
                PacketWriter& frame) {
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
        PyRef label = field_label(field.name);
        if (label) {
            PyErr_Format(PyExc_KeyError, "%U: no value given, and its recipe item has no \"value\"",
                         label.get());
        }
        return false;
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
        if (raw && encode_in_lane(field.codec, raw, placed)) {
            frame.place_number(placed, field.codec.layout.start, field.codec.layout.bits);
            continue;
        }
        if (!pack_field(field, raw, scratch, frame)) return false;
    }
    return true;
}

// Packs values read one at a time from a dict, another mapping or a list,
// whose contents a conversion hook may change: each is read just before
// its field is packed.
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

// ---- parsing -----------------------------------------------------------------

// Refuses a buffer that does not hold every field: names the first one, in
// recipe order, that lies past its end.
bool check_fits(const Compiled& compiled, std::size_t length, std::uint64_t offset_bits) {
    const std::uint64_t available = length >= (std::size_t{1} << 60) ? UINT64_MAX : std::uint64_t{length} * 8;
    if (offset_bits <= available && compiled.extent_bits <= available - offset_bits) return true;
    for (const CompiledField& field : compiled.fields) {
        if (offset_bits <= available && field.codec.layout.end() <= available - offset_bits) continue;
        PyRef label = field_label(field.name);
        if (!label) return false;
        const bool representable = offset_bits <= UINT64_MAX - 7 &&
                                   field.codec.layout.end() <= UINT64_MAX - 7 - offset_bits;
        if (!representable) {
            PyErr_Format(PyExc_ValueError, "%U: lies beyond the largest bit position at offset_bits %llu",
                         label.get(), static_cast<unsigned long long>(offset_bits));
            return false;
        }
        const std::uint64_t needed = (offset_bits + field.codec.layout.end() + 7) / 8;
        PyErr_Format(PyExc_ValueError,
                     "%U: needs %llu bytes (bits %llu to %llu after offset_bits %llu), but the "
                     "buffer has %zu",
                     label.get(), static_cast<unsigned long long>(needed),
                     static_cast<unsigned long long>(field.codec.layout.start),
                     static_cast<unsigned long long>(field.codec.layout.end() - 1),
                     static_cast<unsigned long long>(offset_bits), length);
        return false;
    }
    return true;
}

// The values of one frame, as a dict of the names or as a tuple in field
// order (the form with least work for the interpreter).
enum class ResultShape { dict, tuple };

PyObject* unpack_frame(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* keywords,
                       ResultShape shape) {
    if (!usable(self)) return nullptr;
    const Compiled& compiled = compiled_of(self);
    PyObject* bound[2] = {count == 1 ? args[0] : nullptr, nullptr};
    if ((count != 1 || keywords) &&
        !bind_arguments(shape == ResultShape::dict ? "unpack" : "unpack_tuple", args, count,
                        keywords, {"buffer", "offset_bits"}, 2, 1, bound)) {
        return nullptr;
    }
    BufferView view;
    std::uint64_t offset_bits = 0;
    if (!view.acquire(bound[0]) || !convert_offset(bound[1], offset_bits) ||
        !check_fits(compiled, view.data().size(), offset_bits)) {
        return nullptr;
    }
    // The frame is copied first, with eight zero bytes after it: the bytes
    // decoded are private (another thread may write the caller's buffer,
    // and a text decoder reads its bytes twice), and every field up to 64
    // bits is read with one word load, also at the end.
    std::uint8_t small[kSmallFrame + 8];
    std::vector<std::uint8_t> large;
    const std::uint64_t first_byte = offset_bits / 8;
    const std::size_t length =
        static_cast<std::size_t>((offset_bits + compiled.extent_bits + 7) / 8 - first_byte);
    std::uint8_t* padded = small;
    if (length > kSmallFrame) {
        large.resize(length + 8);
        padded = large.data();
    }
    if (length != 0) std::memcpy(padded, view.data().data() + first_byte, length);
    std::memset(padded + length, 0, 8);
    const std::span<const std::uint8_t> data(padded, length + 8);
    offset_bits %= 8;
    auto decode = [&](std::size_t j) {
        const CompiledField& field = compiled.fields[j];
        PyObject* value = field_to_python(field.codec, data, offset_bits);
        if (!value) locate_pending_error(field_label(field.name).get());
        return value;
    };
    if (shape == ResultShape::tuple) {
        PyRef result(PyTuple_New(static_cast<Py_ssize_t>(compiled.fields.size())));
        if (!result) return nullptr;
        for (std::size_t j = 0; j < compiled.fields.size(); ++j) {
            PyObject* value = decode(j);
            if (!value) return nullptr;
            PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(j), value);
        }
        return result.release();
    }
    DictFill result(compiled.result_shape);
    if (!result.dict()) return nullptr;
    for (std::size_t j = 0; j < compiled.fields.size(); ++j) {
        if (!result.set(j, decode(j))) return nullptr;
    }
    return result.release();
}

PyObject* codec_unpack(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* keywords) {
    return guarded_entry("FrameCodec.unpack", [&] {
        return unpack_frame(self, args, count, keywords, ResultShape::dict);
    });
}

PyObject* codec_unpack_tuple(PyObject* self, PyObject* const* args, Py_ssize_t count,
                             PyObject* keywords) {
    return guarded_entry("FrameCodec.unpack_tuple", [&] {
        return unpack_frame(self, args, count, keywords, ResultShape::tuple);
    });
}

// How a buffer of `length` bytes splits into frames: checks the frame size
// against the fields and the trailing bytes.
bool frame_count(const Compiled& compiled, std::size_t length, PyObject* frame_bytes_object,
                 std::uint64_t offset_bits, bool ignore_partial, std::size_t& frame_bytes,
                 std::size_t& frames) {
    if (!frame_bytes_object || frame_bytes_object == Py_None) {
        frame_bytes = static_cast<std::size_t>(compiled.size);
    } else {
        std::uint64_t requested = 0;
        if (!convert_uint64(frame_bytes_object, requested)) {
            wrap_argument_error("frame_bytes");
            return false;
        }
        if (requested == 0 || requested > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
            PyErr_Format(PyExc_ValueError, "frame_bytes must be between 1 and %zd, not %llu",
                         PY_SSIZE_T_MAX, static_cast<unsigned long long>(requested));
            return false;
        }
        frame_bytes = static_cast<std::size_t>(requested);
    }
    if (frame_bytes == 0) {
        PyErr_SetString(PyExc_ValueError, "frames of a codec of 0 bytes need frame_bytes");
        return false;
    }
    const std::uint64_t frame_bits = frame_bytes >= (std::size_t{1} << 60) ? UINT64_MAX
                                                                         : std::uint64_t{frame_bytes} * 8;
    if (offset_bits > frame_bits || compiled.extent_bits > frame_bits - offset_bits) {
        PyErr_Format(PyExc_ValueError,
                     "frames of %zu bytes cannot hold the fields: they end at bit %llu of the "
                     "codec, after offset_bits %llu",
                     frame_bytes, static_cast<unsigned long long>(compiled.extent_bits),
                     static_cast<unsigned long long>(offset_bits));
        return false;
    }
    frames = length / frame_bytes;
    const std::size_t rest = length % frame_bytes;
    if (rest != 0 && !ignore_partial) {
        PyErr_Format(PyExc_ValueError,
                     "a partial frame of %zu bytes at byte offset %zu (frames are %zu bytes; "
                     "pass ignore_partial=True to leave it out)",
                     rest, frames * frame_bytes, frame_bytes);
        return false;
    }
    return true;
}

bool convert_flag(PyObject* object, const char* name, bool& out) {
    out = false;
    if (!object) return true;
    if (convert_bool(object, out)) return true;
    wrap_argument_error(name);
    return false;
}

PyObject* unpack_frames(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* keywords) {
    if (!usable(self)) return nullptr;
    const Compiled& compiled = compiled_of(self);
    PyObject* bound[7];
    if (!bind_arguments("unpack_many", args, count, keywords,
                        {"buffer", "frame_bytes", "offset_bits", "ignore_partial", "errors", "threads",
                         "frame_offsets"},
                        1, 1, bound)) {
        return nullptr;
    }
    BufferView view;
    DumpRequest request;
    bool ignore_partial = false;
    if (!view.acquire(bound[0]) || !convert_offset(bound[2], request.offset_bits) ||
        !convert_flag(bound[3], "ignore_partial", ignore_partial) ||
        !parse_errors_option(bound[4], request.null_on_error) ||
        !parse_threads_option(bound[5], request.threads)) {
        return nullptr;
    }
    // frame_offsets (private: the packets of one key of a stream): a bytes
    // object of native uint64 offsets, one per frame, each frame wholly in
    // the buffer.
    if (bound[6] && bound[6] != Py_None) {
        if (!PyBytes_Check(bound[6]) || PyBytes_GET_SIZE(bound[6]) % 8 != 0) {
            PyErr_SetString(PyExc_TypeError, "frame_offsets must be bytes of native uint64 offsets");
            return nullptr;
        }
        if (!frame_count(compiled, 0, bound[1], request.offset_bits, true, request.frame_bytes, request.frames)) {
            return nullptr;
        }
        // A bytes object cannot change; its 8-byte items are aligned.
        const std::span<const std::uint64_t> offsets{reinterpret_cast<const std::uint64_t*>(PyBytes_AS_STRING(bound[6])),
                                                     static_cast<std::size_t>(PyBytes_GET_SIZE(bound[6])) / 8};
        const std::size_t length = view.data().size();
        for (std::size_t i = 0; i < offsets.size(); ++i) {
            if (length < request.frame_bytes || offsets[i] > length - request.frame_bytes) {
                PyErr_Format(PyExc_ValueError, "frame %zu at byte offset %llu passes the end of the buffer", i,
                             static_cast<unsigned long long>(offsets[i]));
                return nullptr;
            }
        }
        request.frames = offsets.size();
        request.frame_offsets = offsets.data();
        request.fields = compiled.layouts;
        request.names = compiled.names;
        request.data = view.data();
        request.strip_text = compiled.strip_text;
        return decode_dump(request);
    }
    if (!frame_count(compiled, view.data().size(), bound[1], request.offset_bits, ignore_partial,
                     request.frame_bytes, request.frames)) {
        return nullptr;
    }
    // The buffer stays exported (a bytearray cannot be resized, an mmap not
    // closed) while other threads run; its bytes are read once, a block at
    // a time, into private memory.
    request.fields = compiled.layouts;
    request.names = compiled.names;
    request.data = view.data().first(request.frames * request.frame_bytes);
    request.immutable = PyBytes_CheckExact(bound[0]);
    request.strip_text = compiled.strip_text;
    return decode_dump(request);
}

PyObject* codec_unpack_many(PyObject* self, PyObject* const* args, Py_ssize_t count,
                            PyObject* keywords) {
    return guarded_entry("FrameCodec.unpack_many",
                         [&] { return unpack_frames(self, args, count, keywords); });
}

// _frame_count(length, frame_bytes, offset_bits, ignore_partial) -> (frames, frame_bytes):
// the checks of unpack_many, for the frame iterator written in Python.
PyObject* codec_frame_count(PyObject* self, PyObject* args) {
    if (!usable(self) || !stack_has_room("FrameCodec._frame_count")) return nullptr;
    Py_ssize_t length = 0;
    PyObject* frame_bytes_object = nullptr;
    PyObject* offset_object = nullptr;
    PyObject* ignore_object = nullptr;
    if (!PyArg_ParseTuple(args, "nOOO:_frame_count", &length, &frame_bytes_object, &offset_object,
                          &ignore_object)) {
        return nullptr;
    }
    std::uint64_t offset_bits = 0;
    bool ignore_partial = false;
    std::size_t frame_bytes = 0;
    std::size_t frames = 0;
    if (length < 0 || !convert_offset(offset_object, offset_bits) ||
        !convert_flag(ignore_object, "ignore_partial", ignore_partial) ||
        !frame_count(compiled_of(self), static_cast<std::size_t>(length), frame_bytes_object,
                     offset_bits, ignore_partial, frame_bytes, frames)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "negative length");
        return nullptr;
    }
    return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(frames), static_cast<Py_ssize_t>(frame_bytes));
}

// ---- the object --------------------------------------------------------------

PyObject* deep_copy(PyObject* object) {
    PyRef copy_module(PyImport_ImportModule("copy"));
    if (!copy_module) return nullptr;
    return PyObject_CallMethod(copy_module.get(), "deepcopy", "O", object);
}

PyObject* codec_recipe(PyObject* self, void*) {
    if (!usable(self)) return nullptr;
    return deep_copy(compiled_of(self).recipe);
}

PyObject* codec_names(PyObject* self, void*) {
    if (!usable(self)) return nullptr;
    return Py_NewRef(compiled_of(self).names);
}

// _fields() -> ((name, encoding, bits, offset_bits, byte_order, reverse_bits), ...):
// the compiled fields in recipe order, each where it lies in the frame.
PyObject* codec_fields(PyObject* self, PyObject*) {
    if (!usable(self)) return nullptr;
    const Compiled& compiled = compiled_of(self);
    PyRef result(PyTuple_New(static_cast<Py_ssize_t>(compiled.fields.size())));
    if (!result) return nullptr;
    for (std::size_t j = 0; j < compiled.fields.size(); ++j) {
        const CompiledField& field = compiled.fields[j];
        const FrameField& layout = field.codec.layout;
        char order[16] = "big";  // "lsb_first", or up to eight digits
        if (layout.arrangement == Arrangement::lsb_first) {
            std::strcpy(order, "lsb_first");
        } else if (layout.arrangement == Arrangement::permuted) {
            const std::uint32_t count = layout.bits / 8;
            for (std::uint32_t k = 0; k < count; ++k) {
                order[count - 1 - k] = static_cast<char>('0' + count - layout.permutation[k]);
            }
            order[count] = '\0';
        } else if (layout.order == ByteOrder::little) {
            std::strcpy(order, "little");
        }
        PyObject* record = Py_BuildValue(
            "(OOIKsO)", field.name, field.encoding, static_cast<unsigned int>(layout.bits),
            static_cast<unsigned long long>(layout.start), order, layout.reverse ? Py_True : Py_False);
        if (!record) return nullptr;
        PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(j), record);
    }
    return result.release();
}

PyObject* codec_size(PyObject* self, void*) {
    if (!usable(self)) return nullptr;
    return PyLong_FromUnsignedLongLong(compiled_of(self).size);
}

PyObject* codec_read_only(PyObject* self, void*) {
    if (!usable(self)) return nullptr;
    return PyBool_FromLong(compiled_of(self).read_only);
}

PyObject* codec_text_padding(PyObject* self, void*) {
    if (!usable(self)) return nullptr;
    return PyUnicode_FromString(compiled_of(self).strip_text ? "strip" : "keep");
}

PyObject* codec_reduce(PyObject* self, PyObject*) {
    if (!usable(self)) return nullptr;
    PyRef recipe(deep_copy(compiled_of(self).recipe));
    if (!recipe) return nullptr;
    const Compiled& compiled = compiled_of(self);
    if (!compiled.strip_text && !compiled.read_only) {
        return Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(Py_TYPE(self)), recipe.get());
    }
    PyRef copyreg(PyImport_ImportModule("copyreg"));
    if (!copyreg) return nullptr;
    PyRef make(PyObject_GetAttrString(copyreg.get(), "__newobj_ex__"));
    if (!make) return nullptr;
    return Py_BuildValue("(O(O(O){s:s,s:O}))", make.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)),
                         recipe.get(), "text_padding", compiled.strip_text ? "strip" : "keep",
                         "read_only", compiled.read_only ? Py_True : Py_False);
}

// A codec never changes, so a copy can be the codec itself.
PyObject* codec_copy(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* codec_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, &FrameCodecType)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    if (!usable(self) || !usable(other)) return nullptr;
    if (compiled_of(self).strip_text != compiled_of(other).strip_text ||
        compiled_of(self).read_only != compiled_of(other).read_only) {
        return PyBool_FromLong(op == Py_NE);
    }
    return PyObject_RichCompare(compiled_of(self).recipe, compiled_of(other).recipe, op);
}

PyObject* codec_repr(PyObject* self) {
    if (!usable(self)) return nullptr;
    const Compiled& compiled = compiled_of(self);
    PyRef names(PyUnicode_FromString(", "));
    if (!names) return nullptr;
    PyRef quoted_names(PyList_New(0));
    if (!quoted_names) return nullptr;
    for (const CompiledField& field : compiled.fields) {
        PyRef text = quoted(field.name);
        if (!text || PyList_Append(quoted_names.get(), text.get()) < 0) return nullptr;
    }
    PyRef joined(PyUnicode_Join(names.get(), quoted_names.get()));
    if (!joined) return nullptr;
    PyRef type_name(PyType_GetFullyQualifiedName(Py_TYPE(self)));
    if (!type_name) return nullptr;
    return PyUnicode_FromFormat("<%U of %zu fields in %llu bytes: %U>", type_name.get(),
                                compiled.fields.size(),
                                static_cast<unsigned long long>(compiled.size), joined.get());
}

PyMethodDef kCodecMethods[] = {
    {"pack", codec_pack, METH_O,
     "pack($self, values, /)\n--\n\n"
     "One frame as bytes.  `values` maps field names to values, or lists them in field order; "
     "a field without a value takes its recipe item's \"value\"."},
    {"unpack", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(codec_unpack)),
     METH_FASTCALL | METH_KEYWORDS,
     "unpack($self, /, buffer, offset_bits=0)\n--\n\n"
     "The fields of the frame that starts `offset_bits` into `buffer`, as a dict in recipe "
     "order."},
    {"unpack_tuple", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(codec_unpack_tuple)),
     METH_FASTCALL | METH_KEYWORDS,
     "unpack_tuple($self, /, buffer, offset_bits=0)\n--\n\n"
     "The fields of the frame that starts `offset_bits` into `buffer`, as a tuple in recipe "
     "order (the values of unpack(), without their names; the faster form)."},
    {"_unpack_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(codec_unpack_many)),
     METH_FASTCALL | METH_KEYWORDS,
     "_unpack_many($self, /, buffer, *, frame_bytes=None, offset_bits=0, ignore_partial=False, "
     "errors='raise', threads=None, frame_offsets=None)\n--\n\n"
     "unpack_many's columns and failure records; frame_offsets (bytes of native uint64) places each frame."},
    {"_frame_count", codec_frame_count, METH_VARARGS, nullptr},
    {"_fields", codec_fields, METH_NOARGS, nullptr},
    {"__reduce__", codec_reduce, METH_NOARGS, nullptr},
    {"__copy__", codec_copy, METH_NOARGS, nullptr},
    {"__deepcopy__", codec_copy, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kCodecGetSet[] = {
    {"size", codec_size, nullptr, "Bytes of a packed frame.", nullptr},
    {"names", codec_names, nullptr, "The field names, in recipe order.", nullptr},
    {"recipe", codec_recipe, nullptr, "A copy of the recipe the codec was made from.", nullptr},
    {"read_only", codec_read_only, nullptr,
     "True for a codec that only reads: its fields may overlap, and pack refuses.", nullptr},
    {"text_padding", codec_text_padding, nullptr,
     "'keep' or 'strip': whether text values keep the NUL bytes that pad them to their field.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool frame_codec_layouts(PyObject* codec, std::span<const FrameField>& out) {
    if (!PyObject_TypeCheck(codec, &FrameCodecType)) {
        PyErr_Format(PyExc_TypeError, "expected a FrameCodec, not '%s'", Py_TYPE(codec)->tp_name);
        return false;
    }
    if (!usable(codec)) return false;
    out = compiled_of(codec).layouts;
    return true;
}

bool prepare_frame_codecs() {
    if (g_mapping_type) return true;
    PyRef abc(PyImport_ImportModule("collections.abc"));
    if (!abc) return false;
    g_mapping_type = PyObject_GetAttrString(abc.get(), "Mapping");
    return g_mapping_type != nullptr;
}

PyTypeObject FrameCodecType = [] {
    // Every member zero, then the header, so that no member is left out of
    // an initialiser (-Wmissing-field-initializers).
    PyTypeObject type{};
    type.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    type.tp_name = "bitloom._frames.FrameCodec";
    type.tp_basicsize = sizeof(FrameCodecObject);
    type.tp_dealloc = codec_dealloc;
    type.tp_repr = codec_repr;
    type.tp_hash = PyObject_HashNotImplemented;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    type.tp_doc = "FrameCodec(recipe, *, text_padding='keep', read_only=False)\n--\n\nA recipe compiled once, for packing and parsing "
                  "frames.";
    type.tp_traverse = codec_traverse;
    type.tp_clear = codec_clear;
    type.tp_richcompare = codec_richcompare;
    type.tp_methods = kCodecMethods;
    type.tp_getset = kCodecGetSet;
    type.tp_new = codec_new;
    return type;
}();

}  // namespace bitloom::frames
