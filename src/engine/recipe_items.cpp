// Recipe-item lookups.  An item is read in one pass over its dict: each key
// is matched against the interned key strings by identity (string literals
// in Python code are interned, so this is the usual case) and only then by
// content.  The checks and conversions then run in the fixed order of the
// keys, so the first failing key decides the error exactly as if each key
// had been looked up in turn.
#include "engine/recipe_items.hpp"

#include "core/message.hpp"
#include "python/conversions.hpp"
#include "python/errors.hpp"

namespace bitloom {

namespace {

constexpr const char* kKeyTexts[] = {"name",         "encoding",    "bits", "byte_order",
                                     "reverse_bits", "offset_bits", "value"};
constexpr std::size_t kKeyCount = std::size(kKeyTexts);

PyObject* g_keys[kKeyCount] = {};

enum KeyIndex { kName, kEncoding, kBits, kByteOrder, kReverseBits, kOffsetBits, kValue };

PyRef ItemEntries::* const kEntrySlots[kKeyCount] = {
    &ItemEntries::name,         &ItemEntries::encoding,    &ItemEntries::bits,
    &ItemEntries::byte_order,   &ItemEntries::reverse_bits, &ItemEntries::offset_bits,
    &ItemEntries::value};

// The recipe key that `key` equals, or -1.  The key's length picks the one
// candidate (only "name" and "bits" share a length); identity with the
// interned key settles it at once, and a key built at run time (or a str
// subclass) is compared by content.
int key_index(PyObject* key) {
    if (!PyUnicode_Check(key)) return -1;
    int candidate = -1;
    switch (PyUnicode_GET_LENGTH(key)) {
        case 4:
            if (key == g_keys[kName]) return kName;
            if (key == g_keys[kBits]) return kBits;
            if (PyUnicode_Compare(key, g_keys[kName]) == 0) return kName;
            candidate = kBits;
            break;
        case 5: candidate = kValue; break;
        case 8: candidate = kEncoding; break;
        case 10: candidate = kByteOrder; break;
        case 11: candidate = kOffsetBits; break;
        case 12: candidate = kReverseBits; break;
        default: return -1;
    }
    if (key == g_keys[candidate]) return candidate;
    return PyUnicode_Compare(key, g_keys[candidate]) == 0 ? candidate : -1;
}

[[gnu::cold]] bool raise_missing(const char* key) {
    PyErr_Format(PyExc_KeyError, "Recipe missing required field: '%s'", key);
    return false;
}

// The UTF-8 form of a str: ASCII strings are their own UTF-8 and need no
// call; anything else goes through the interpreter, which also refuses lone
// surrogates.
bool str_view(PyObject* object, std::string_view& out) {
    if (PyUnicode_CheckExact(object) && PyUnicode_IS_COMPACT_ASCII(object)) {
        out = {static_cast<const char*>(PyUnicode_DATA(object)),
               static_cast<std::size_t>(PyUnicode_GET_LENGTH(object))};
        return true;
    }
    return convert_str(object, out);
}

}  // namespace

PyRef recipe_item_at(PyObject* items, Py_ssize_t index) {
#ifdef Py_GIL_DISABLED
    // Without the GIL another thread may change the list at the same time:
    // take the reference under the list's own lock.
    if (PyList_CheckExact(items)) {
        PyRef item(PyList_GetItemRef(items, index));
        if (!item) PyErr_Clear();  // past the end
        return item;
    }
#endif
    if (index >= PySequence_Fast_GET_SIZE(items)) return PyRef();
    return PyRef::borrow(PySequence_Fast_GET_ITEM(items, index));
}

bool create_recipe_keys() {
    if (g_keys[0]) return true;
    PyObject* keys[kKeyCount] = {};
    for (std::size_t i = 0; i < kKeyCount; ++i) {
        keys[i] = PyUnicode_InternFromString(kKeyTexts[i]);
        if (!keys[i]) {
            for (std::size_t j = 0; j < i; ++j) Py_DECREF(keys[j]);
            return false;
        }
    }
    for (std::size_t i = 0; i < kKeyCount; ++i) g_keys[i] = keys[i];
    return true;
}

bool scan_item(PyObject* item, ItemEntries& out) {
    if (!PyDict_Check(item)) {
        raise_cannot_cast(item, "dict");
        return false;
    }
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    PyObject* found[kKeyCount] = {};
    // Nothing in this loop runs Python code, so the dict cannot change under
    // the iteration; the references taken afterwards keep the values alive.
    while (PyDict_Next(item, &position, &key, &value)) {
        const int index = key_index(key);
        if (index >= 0) found[index] = value;
    }
    for (std::size_t i = 0; i < kKeyCount; ++i) {
        if (found[i]) out.*kEntrySlots[i] = PyRef::borrow(found[i]);
    }
    return true;
}

bool read_extent(PyObject* item, std::uint32_t& bits, bool& has_offset, std::uint64_t& offset) {
    if (!PyDict_Check(item)) {
        raise_cannot_cast(item, "dict");
        return false;
    }
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(item, g_keys[kBits], &found) < 0) return false;
    PyRef bits_entry(found);
    if (!get_required_bits(bits_entry.get(), bits)) return false;
    if (PyDict_GetItemRef(item, g_keys[kOffsetBits], &found) < 0) return false;
    PyRef offset_entry(found);
    return get_optional_field(offset_entry.get(), has_offset, offset);
}

bool get_required_field(PyObject* entry, const char* key, TextField& out) {
    if (!entry) return raise_missing(key);
    out.object = entry;
    return str_view(entry, out.text);
}

bool get_required_bits(PyObject* entry, std::uint32_t& out) {
    if (!entry) return raise_missing("bits");
    return convert_uint32(entry, out);
}

bool get_reverse_bits(PyObject* entry, bool& out) {
    if (!entry) return raise_missing("reverse_bits");
    return convert_bool(entry, out);
}

bool get_optional_field(PyObject* entry, bool& present, std::uint64_t& out) {
    present = entry != nullptr;
    return !present || convert_uint64(entry, out);
}

bool get_value(PyObject* entry, std::string_view item_name) {
    if (entry) return true;
    raise_codec_error(make_error(ErrorKind::key_error,
                                 "Recipe item '{}' missing required field: 'value'", {item_name}));
    return false;
}

bool read_recipe_item(const ItemEntries& entries, RecipeItem& out) {
    return get_required_field(entries.name.get(), "name", out.name) &&
           get_required_field(entries.encoding.get(), "encoding", out.encoding) &&
           get_required_bits(entries.bits.get(), out.bits) &&
           get_required_field(entries.byte_order.get(), "byte_order", out.byte_order) &&
           get_reverse_bits(entries.reverse_bits.get(), out.reverse_bits) &&
           get_optional_field(entries.offset_bits.get(), out.has_offset, out.offset_bits);
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
    // lowercases to "k"): str.lower itself, not an override of a subclass.
    PyRef lowered(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "O",
                                      field.object));
    if (!lowered) return false;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(lowered.get(), &size);
    if (!data) return false;
    storage.assign(data, static_cast<std::size_t>(size));
    out = storage;
    return true;
}

NameCache::~NameCache() {
    for (std::size_t i = 0; i < encoding_count_; ++i) Py_DECREF(encodings_[i].object);
    for (std::size_t i = 0; i < order_count_; ++i) Py_DECREF(orders_[i].object);
}

bool NameCache::encoding_row(const TextField& field, const EncodingNameRow*& row) {
    for (std::size_t i = 0; i < encoding_count_; ++i) {
        if (encodings_[i].object == field.object) {
            row = encodings_[i].row;
            return true;
        }
    }
    std::string_view lowered;
    if (!lowercase(field, storage_, lowered)) return false;
    row = find_encoding_name(direction_, lowered);
    if (encoding_count_ < kSize) encodings_[encoding_count_++] = {Py_NewRef(field.object), row};
    return true;
}

bool NameCache::byte_order(const TextField& field, ByteOrder& out) {
    for (std::size_t i = 0; i < order_count_; ++i) {
        if (orders_[i].object == field.object) {
            out = orders_[i].order;
            return true;
        }
    }
    std::string_view lowered;
    if (!lowercase(field, storage_, lowered)) return false;
    Result<ByteOrder> order = resolve_byte_order(lowered, field.text);
    if (!order) {
        raise_codec_error(order.error());
        return false;
    }
    out = order.value();
    if (order_count_ < orders_.size()) orders_[order_count_++] = {Py_NewRef(field.object), out};
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
        if (PyDict_GetItemRef(context.item.get(), g_keys[kName], &found) < 0) return false;
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

ItemRead read_next_item(PyObject* items, Py_ssize_t index, ItemContext& context,
                        ItemEntries& entries, RecipeItem& fields) {
    PyRef item = recipe_item_at(items, index);
    if (!item) return ItemRead::end;
    context.index = index;
    context.item = std::move(item);
    if (!scan_item(context.item.get(), entries) || !read_recipe_item(entries, fields)) {
        return ItemRead::failed;
    }
    return ItemRead::read;
}

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
