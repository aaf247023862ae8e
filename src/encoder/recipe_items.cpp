// Recipe-item lookups.  Keys are looked up with interned strings; every
// lookup takes a strong reference, since a value's conversion can run Python
// code that changes the dict.
#include "encoder/recipe_items.hpp"

#include "common/message.hpp"
#include "module/conversions.hpp"
#include "module/errors.hpp"

namespace bitloom {

namespace {

struct RecipeKeys {
    PyObject* name;
    PyObject* encoding;
    PyObject* bits;
    PyObject* byte_order;
    PyObject* reverse_bits;
    PyObject* offset_bits;
    PyObject* value;
};

RecipeKeys g_keys{};

// Looks `key` up; false with KeyError "Recipe missing required field: '{}'"
// when absent, or with the lookup's own error.
bool lookup_required(PyObject* item, PyObject* key, PyRef& out) {
    PyObject* found = nullptr;
    int status = PyDict_GetItemRef(item, key, &found);
    if (status < 0) return false;
    if (status == 0) {
        PyErr_Format(PyExc_KeyError, "Recipe missing required field: '%U'", key);
        return false;
    }
    out = PyRef(found);
    return true;
}

}  // namespace

bool create_recipe_keys() {
    if (g_keys.name) return true;
    RecipeKeys keys{};
    PyObject** slots[] = {&keys.name,         &keys.encoding,    &keys.bits, &keys.byte_order,
                          &keys.reverse_bits, &keys.offset_bits, &keys.value};
    const char* texts[] = {"name",         "encoding",    "bits", "byte_order",
                           "reverse_bits", "offset_bits", "value"};
    for (std::size_t i = 0; i < std::size(texts); ++i) {
        *slots[i] = PyUnicode_InternFromString(texts[i]);
        if (!*slots[i]) return false;
    }
    g_keys = keys;
    return true;
}

bool check_item_is_dict(PyObject* item) {
    if (PyDict_Check(item)) return true;
    raise_cannot_cast(item, "dict");
    return false;
}

bool get_required_field(PyObject* item, PyObject* key, TextField& out) {
    if (!lookup_required(item, key, out.object)) return false;
    return convert_str(out.object.get(), out.text);
}

bool get_required_bits(PyObject* item, std::uint32_t& out) {
    PyRef value;
    return lookup_required(item, g_keys.bits, value) && convert_uint32(value.get(), out);
}

bool get_reverse_bits(PyObject* item, bool& out) {
    PyRef value;
    return lookup_required(item, g_keys.reverse_bits, value) && convert_bool(value.get(), out);
}

bool get_optional_field(PyObject* item, bool& present, std::uint64_t& out) {
    PyObject* found = nullptr;
    int status = PyDict_GetItemRef(item, g_keys.offset_bits, &found);
    if (status < 0) return false;
    present = status == 1;
    if (!present) return true;
    PyRef value(found);
    return convert_uint64(value.get(), out);
}

PyRef get_value(PyObject* item, std::string_view item_name) {
    PyObject* found = nullptr;
    int status = PyDict_GetItemRef(item, g_keys.value, &found);
    if (status == 0) {
        raise_codec_error(make_error(ErrorKind::key_error,
                                     "Recipe item '{}' missing required field: 'value'",
                                     {item_name}));
    }
    return PyRef(found);
}

bool read_recipe_item(PyObject* item, RecipeItem& out) {
    return get_required_field(item, g_keys.name, out.name) &&
           get_required_field(item, g_keys.encoding, out.encoding) &&
           get_required_bits(item, out.bits) &&
           get_required_field(item, g_keys.byte_order, out.byte_order) &&
           get_reverse_bits(item, out.reverse_bits) &&
           get_optional_field(item, out.has_offset, out.offset_bits);
}

bool lowercase(const TextField& field, std::string& storage, std::string_view& out) {
    std::string_view text = field.text;
    bool ascii = true;
    bool has_upper = false;
    for (char c : text) {
        ascii &= static_cast<unsigned char>(c) < 0x80;
        has_upper |= c >= 'A' && c <= 'Z';
    }
    if (ascii) {
        if (!has_upper) {
            out = text;
            return true;
        }
        storage.assign(text);
        for (char& c : storage) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        out = storage;
        return true;
    }
    // Beyond ASCII the full Unicode mapping applies (U+212A KELVIN SIGN
    // lowercases to "k"); the interpreter's str.lower is that mapping.
    // str.lower itself, not an override of a str subclass.
    PyRef lowered(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "O",
                                      field.object.get()));
    if (!lowered) return false;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(lowered.get(), &size);
    if (!data) return false;
    storage.assign(data, static_cast<std::size_t>(size));
    out = storage;
    return true;
}

namespace {

// Adds "in recipe item {index} ('{name}')", or "in recipe item {index}" when
// the item has no str "name".  The name is shown with str's own repr, not
// with an override of a str subclass.
bool add_item_note(PyObject* error, const ItemContext& context) {
    PyRef name;
    if (context.item && PyDict_Check(context.item.get())) {
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(context.item.get(), g_keys.name, &found) < 0) return false;
        name = PyRef(found);
    }
    PyRef note;
    if (name && PyUnicode_Check(name.get())) {
        PyRef quoted(PyUnicode_Type.tp_repr(name.get()));
        if (!quoted) return false;
        note = PyRef(PyUnicode_FromFormat("in recipe item %zd (%U)", context.index, quoted.get()));
    } else {
        note = PyRef(PyUnicode_FromFormat("in recipe item %zd", context.index));
    }
    if (!note) return false;
    PyRef added(PyObject_CallMethod(error, "add_note", "O", note.get()));
    return static_cast<bool>(added);
}

}  // namespace

void rewrap_engine_error(const ItemContext& context) {
    PyRef raised(PyErr_GetRaisedException());
    if (!raised) return;
    PyRef type_name(PyType_GetQualName(Py_TYPE(raised.get())));
    if (!type_name) return;
    PyRef text(PyObject_Str(raised.get()));
    if (!text) {
        PyErr_Clear();
        text = PyRef(PyUnicode_FromString("<exception str() failed>"));
        if (!text) return;
    }
    PyRef message(PyUnicode_FromFormat("%U: %U", type_name.get(), text.get()));
    if (!message) return;
    PyRef error(PyObject_CallOneArg(PyExc_ValueError, message.get()));
    if (!error) return;
    if (context.index >= 0 && !add_item_note(error.get(), context)) {
        // The note is a courtesy: without it the error is still raised.
        PyErr_Clear();
    }
    PyErr_SetRaisedException(error.release());
}

}  // namespace bitloom
