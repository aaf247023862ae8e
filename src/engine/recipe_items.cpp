// Recipe-item lookups.  An item is read in one pass over its dict: each key
// is matched against the interned key strings by identity (string literals
// in Python code are interned, so this is the usual case) and only then by
// content.  The checks and conversions then run in the fixed order of the
// keys, so the first failing key decides the error exactly as if each key
// had been looked up in turn; after a conversion that may have run Python
// code the dict is scanned again, so that what that code did to the item is
// seen by the keys read after it.
//
// A walk rather than a lookup per key: PyDict_Next costs a few nanoseconds
// per entry, while a lookup by an interned key (cached hash, found by
// identity) costs more than twice that, and a recipe item has about six keys
// to find.  Reading the sixteen items of the benchmark recipe took 260-330 ns
// by walking and 625-840 ns by looking each key up, on CPython 3.13, 3.14 and
// 3.15 alike.  A lookup can also call the __eq__ of a stored key whose hash
// equals the key's, which the walk never does.
#include "engine/recipe_items.hpp"

#include <cstring>

#include "core/compiler.hpp"
#include "core/message.hpp"
#include "python/conversions.hpp"
#include "python/dict_entries.hpp"
#include "python/errors.hpp"

namespace bitloom {

namespace {

using K = RecipeKey;

// Whether the bytes of a key of N - 1 one-byte characters are `text`; the
// length is a constant, so the comparison is a word or two in line.
template <std::size_t N>
BITLOOM_ALWAYS_INLINE bool same_text(const void* data, const char (&text)[N]) noexcept {
    return std::memcmp(data, text, N - 1) == 0;
}

static_assert(std::string_view(kRecipeKeyTexts[static_cast<std::size_t>(K::name)]) == "name" &&
              std::string_view(kRecipeKeyTexts[static_cast<std::size_t>(K::bits)]) == "bits" &&
              std::string_view(kRecipeKeyTexts[static_cast<std::size_t>(K::value)]) == "value" &&
              std::string_view(kRecipeKeyTexts[static_cast<std::size_t>(K::encoding)]) == "encoding" &&
              std::string_view(kRecipeKeyTexts[static_cast<std::size_t>(K::byte_order)]) == "byte_order" &&
              std::string_view(kRecipeKeyTexts[static_cast<std::size_t>(K::offset_bits)]) == "offset_bits" &&
              std::string_view(kRecipeKeyTexts[static_cast<std::size_t>(K::reverse_bits)]) == "reverse_bits");

[[gnu::cold]] bool raise_missing(K key) {
    PyErr_Format(PyExc_KeyError, "Recipe missing required field: '%s'",
                 kRecipeKeyTexts[static_cast<std::size_t>(key)]);
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

// Before a conversion that may run Python code: borrowed entries become
// strong, so that what that code does to the dict cannot free them.
void hold_entries(ItemEntries&) noexcept {}
void hold_entries(ItemSlots& entries) noexcept { entries.hold(); }

// After Python code may have run, the entries of the keys still to come are
// replaced by a fresh scan; those already read keep the objects they were
// read from (a TextField points into them).
void refresh_entries(ItemEntries& entries, K read, ItemEntries& fresh) noexcept {
    for (std::size_t i = static_cast<std::size_t>(read) + 1; i < kRecipeKeyCount; ++i) {
        entries.values[i] = std::move(fresh.values[i]);
    }
}
void refresh_entries(ItemSlots& entries, K read, ItemEntries& fresh) noexcept {
    entries.refresh_after(read, fresh);
}

// One key of an item, read in the documented order.  Whether a conversion
// can run Python code is decided from the object before converting it; when
// it may, the entries are held first and the item is scanned again for the
// keys that follow.
template <class Entries>
class KeyReader {
  public:
    KeyReader(PyObject* item, Entries& entries, ReadState& state) noexcept
        : item_(item), entries_(entries), state_(state) {}

    bool text(K key, TextField& out) {
        PyObject* entry = entries_[key];
        if (!entry) return raise_missing(key);
        out.object = entry;
        const bool in_place = converts_str_in_place(entry);
        if (!in_place) hold_entries(entries_);
        return str_view(entry, out.text) && after(in_place, key);
    }
    bool bits(std::uint32_t& out) {
        PyObject* entry = entries_[K::bits];
        if (!entry) return raise_missing(K::bits);
        const bool in_place = converts_int_in_place(entry);
        if (!in_place) hold_entries(entries_);
        return convert_uint32(entry, out) && after(in_place, K::bits);
    }
    bool reverse_bits(bool& out) {
        PyObject* entry = entries_[K::reverse_bits];
        if (!entry) return raise_missing(K::reverse_bits);
        if (converts_bool_in_place(entry)) {
            out = entry == Py_True;
            return true;
        }
        hold_entries(entries_);
        return convert_bool(entry, out) && after(false, K::reverse_bits);
    }
    bool offset_bits(bool& present, std::uint64_t& out) {
        PyObject* entry = entries_[K::offset_bits];
        present = entry != nullptr;
        if (!present) return true;
        const bool in_place = converts_int_in_place(entry);
        if (!in_place) hold_entries(entries_);
        return convert_uint64(entry, out) && after(in_place, K::offset_bits);
    }

  private:
    bool after(bool in_place, K read) {
        if (in_place) return true;
        state_.python_may_have_run = true;
        ItemEntries fresh;
        if (!scan_item(item_, fresh)) return false;
        refresh_entries(entries_, read, fresh);
        return true;
    }

    PyObject* item_;
    Entries& entries_;
    ReadState& state_;
};

template <class Entries>
bool read_item_keys(PyObject* item, Entries& entries, ReadState& state, RecipeItem& out) {
    if (read_item_in_place(entries, out)) return true;
    KeyReader<Entries> reader(item, entries, state);
    return reader.text(K::name, out.name) && reader.text(K::encoding, out.encoding) &&
           reader.bits(out.bits) && reader.text(K::byte_order, out.byte_order) &&
           reader.reverse_bits(out.reverse_bits) &&
           reader.offset_bits(out.has_offset, out.offset_bits);
}

// One pass over the dict: `store(index, value)` for each recipe key found,
// inside the dict's lock.
template <class Store>
bool scan_keys(PyObject* item, Store&& store) {
    if (!PyDict_Check(item)) {
        raise_cannot_cast(item, "dict");
        return false;
    }
    const InternedKeyTable::Lookup table = interned_key_table().lookup();
    // Nothing in this walk runs Python code, so under the GIL the dict
    // cannot change during it; without the GIL the dict's own lock keeps
    // other threads out, and strong references are taken before it is
    // released.  A dict can hold two keys that match one recipe key (a str
    // subclass with its own hash beside the plain str): the later one in the
    // dict's order wins.
    Py_BEGIN_CRITICAL_SECTION(item);
    for_each_entry(item, [&](PyObject* key, PyObject* value) {
        const int index = table.match(key);
        if (index >= 0) store(static_cast<std::size_t>(index), value);
        return true;
    });
    Py_END_CRITICAL_SECTION();
    return true;
}

}  // namespace

// The recipe key that a str not found by identity equals, or -1: a key built
// at run time (a recipe decoded from JSON) or a str subclass, compared by
// content, which runs no code of the key's own.  The recipe keys are ASCII
// and a str is stored in its narrowest kind, so only a str of one byte per
// character can match; its length picks the candidates.
int key_index(PyObject* key) noexcept {
    if (!PyUnicode_Check(key) || PyUnicode_KIND(key) != PyUnicode_1BYTE_KIND) return -1;
    const void* data = PyUnicode_DATA(key);
    auto index = [](K k) { return static_cast<int>(k); };
    switch (PyUnicode_GET_LENGTH(key)) {
        case 4:
            if (same_text(data, "name")) return index(K::name);
            return same_text(data, "bits") ? index(K::bits) : -1;
        case 5: return same_text(data, "value") ? index(K::value) : -1;
        case 8: return same_text(data, "encoding") ? index(K::encoding) : -1;
        case 10: return same_text(data, "byte_order") ? index(K::byte_order) : -1;
        case 11: return same_text(data, "offset_bits") ? index(K::offset_bits) : -1;
        case 12: return same_text(data, "reverse_bits") ? index(K::reverse_bits) : -1;
        default: return -1;
    }
}
const InternedKeyTable& interned_key_table() noexcept {
    // The module's key strings live as long as the process (one module
    // state, never replaced), so the table is built once.
    static const InternedKeyTable table(module_state().keys);
    return table;
}

bool scan_item(PyObject* item, ItemEntries& out) {
    return scan_keys(item, [&](std::size_t index, PyObject* value) {
        out.values[index] = PyRef::borrow(value);
    });
}

bool scan_item(PyObject* item, ScannedKeys& out) {
    out.values.fill(nullptr);
    return scan_keys(item, [&](std::size_t index, PyObject* value) { out.values[index] = value; });
}

bool scan_item(PyObject* item, ItemSlots& out) {
    if constexpr (kScansMayBeBorrowed) {
        return scan_item(item, out.borrowed_slots());
    } else {
        ItemEntries held;
        if (!scan_item(item, held)) return false;
        out.adopt(held);
    }
    return true;
}

PyRef find_entry(PyObject* item, RecipeKey key) {
    ItemEntries entries;
    if (!PyDict_Check(item) || !scan_item(item, entries)) return PyRef();
    return std::move(entries.values[static_cast<std::size_t>(key)]);
}

bool read_extent(PyObject* item, ItemSlots& entries, ReadState& state, std::uint32_t& bits,
                 bool& has_offset, std::uint64_t& offset) {
    KeyReader<ItemSlots> reader(item, entries, state);
    return reader.bits(bits) && reader.offset_bits(has_offset, offset);
}

bool read_recipe_item(PyObject* item, ItemEntries& entries, ReadState& state, RecipeItem& out) {
    return read_item_keys(item, entries, state, out);
}

bool read_recipe_item(PyObject* item, ItemSlots& entries, ReadState& state, RecipeItem& out) {
    return read_item_keys(item, entries, state, out);
}

bool get_value(PyObject* entry, std::string_view item_name) {
    if (entry) return true;
    raise_codec_error(make_error(ErrorKind::key_error,
                                 "Recipe item '{}' missing required field: 'value'", {item_name}));
    return false;
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

bool NameCache::named_encoding(const TextField& field, NamedEncoding& out) {
    if (encodings_.find(field.object, out)) return true;
    // Another str of a text already resolved in this call (a recipe decoded
    // from JSON has one object per item): the text decides the row.
    if (encodings_.find_if([&](const NamedEncoding& known) { return known.text == field.text; }, out)) {
        return true;
    }
    out.text = field.text;
    // A name written as a string literal is the interned str of its row's
    // name; any other is looked up by its text.  The tables hold lowercase
    // names, so a text found as it stands is its own lowercase form.
    out.row = interned_encoding_names(direction_).find(field.object);
    if (!out.row) out.row = find_encoding_name(direction_, field.text);
    std::string_view lowered;
    if (!out.row) {
        if (!lowercase(field, storage_, lowered)) return false;
        if (lowered.data() != field.text.data()) out.row = find_encoding_name(direction_, lowered);
    }
    out.one_encoding = names_one_encoding(out.row, out.encoding);
    encodings_.add(field.object, out);
    return true;
}

bool NameCache::resolve_encoding(const TextField& field, std::uint32_t bits, FieldEncoding& out) {
    NamedEncoding named;
    if (!named_encoding(field, named)) return false;
    if (named.one_encoding) {
        out = named.encoding;
        return true;
    }
    return take(select_encoding(named.row, field.text, bits), out);
}

bool NameCache::resolve_byte_order(const TextField& field, ByteOrder& out) {
    if (field.text == "big" || field.text == "little") {
        out = field.text == "big" ? ByteOrder::big : ByteOrder::little;
        orders_.add(field.object, out);
        return true;
    }
    std::string_view lowered;
    if (!lowercase(field, storage_, lowered) ||
        !take(bitloom::resolve_byte_order(lowered, field.text), out)) {
        return false;
    }
    orders_.add(field.object, out);
    return true;
}

namespace {

// Adds "in recipe item {index} ('{name}')", or "in recipe item {index}" when
// the item has no str "name".  The name is shown with str's own repr, not
// with an override of a str subclass.
bool add_item_note(PyObject* error, const ItemContext& context) {
    PyRef name;
    if (context.item) name = find_entry(context.item, RecipeKey::name);
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
    // Ctrl-C, sys.exit() in a hook, a closing generator and the module's own
    // InternalError are not recipe errors: they pass through as they are.
    if (!PyErr_GivenExceptionMatches(raised.get(), PyExc_Exception)) {
        PyErr_SetRaisedException(raised.release());
        return;
    }
    PyRef type_name(PyType_GetQualName(Py_TYPE(raised.get())));
    if (!type_name) return;
    PyRef text(PyObject_Str(raised.get()));
    if (!text) {
        // str() failing with something that is not an Exception (Ctrl-C
        // while it runs) is not swallowed either.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return;
        PyErr_Clear();
        text = PyRef(PyUnicode_FromString("<exception str() failed>"));
        if (!text) return;
    }
    PyRef message(PyUnicode_FromFormat("%U: %U", type_name.get(), text.get()));
    if (!message) return;
    PyRef error(PyObject_CallOneArg(PyExc_ValueError, message.get()));
    if (!error) return;
    if (context.index >= 0 && !add_item_note(error.get(), context)) {
        // The note is a courtesy: without it the error is still raised,
        // unless what stopped it is itself not an ordinary error.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return;
        PyErr_Clear();
    }
    PyErr_SetRaisedException(error.release());
}

}  // namespace bitloom
