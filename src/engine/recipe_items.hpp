// Reading recipe items: the keys every item carries, their conversions and
// the messages for absent keys, the lowercasing of names, and the context
// that names the failing item when an engine error reaches the caller.
// Shared by the packet builder and the packet parser, which read the same
// keys in the same order.
//
// An item's dict is read in one pass (scan_item), and its keys are then
// checked and converted in the documented order.  A conversion that may run
// Python code (the __index__ of an object that is not an int, a str
// subclass, a bool-like object) can change any dict, this one included, so
// after such a conversion the item is scanned again before its next key is
// read, and the call remembers that Python code has run (ReadState): from
// then on, every item is read afresh when its turn comes.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "core/codec_result.hpp"
#include "python/conversions.hpp"
#include "python/dict_entries.hpp"
#include "python/errors.hpp"
#include "python/module_state.hpp"
#include "python/python_ref.hpp"
#include "recipe/encoding_names.hpp"

namespace bitloom {

// The value of a routine's result, or false with its codec error raised.
template <class T>
bool take(Result<T> result, T& out) {
    if (!result.ok()) {
        raise_codec_error(result.error());
        return false;
    }
    out = std::move(result.value());
    return true;
}

// The values of the keys an item carries, found in one pass over the dict
// (strong references: converting one value may run code that changes the
// dict).  A null entry is an absent key.
struct ItemEntries {
    std::array<PyRef, kRecipeKeyCount> values;

    PyObject* operator[](RecipeKey key) const noexcept {
        return values[static_cast<std::size_t>(key)].get();
    }
};

// The values of the keys an item carries as one pass over its dict found
// them, borrowed from the dict (null for an absent key).  They stay valid
// only while no Python code can have run since the scan, and only under the
// interpreter lock (kScansMayBeBorrowed).
struct ScannedKeys {
    std::array<PyObject*, kRecipeKeyCount> values;

    PyObject* operator[](RecipeKey key) const noexcept {
        return values[static_cast<std::size_t>(key)];
    }
};

// With the interpreter lock nothing else touches a dict until Python code
// runs; in the free-threaded build another thread may at any time, so there
// entries are held from the scan on.
#ifdef Py_GIL_DISABLED
inline constexpr bool kScansMayBeBorrowed = false;
#else
inline constexpr bool kScansMayBeBorrowed = true;
#endif

// The entries of the item the recipe engines are reading: borrowed from the
// dict until hold() makes them strong.  The reader holds them before any
// conversion that may run Python code, since that code can change the dict
// and drop the last reference to a value read earlier.  Borrowing saves two
// reference counts per key and item on the usual path.
class ItemSlots {
  public:
    ItemSlots() noexcept : keys_(&own_) { own_.values.fill(nullptr); }
    // A borrowed scan (kScansMayBeBorrowed builds only), read where it lies
    // until hold(): `keys` must outlive these slots.
    explicit ItemSlots(const ScannedKeys& keys) noexcept : keys_(&keys) {}
    ItemSlots(const ItemSlots&) = delete;
    ItemSlots& operator=(const ItemSlots&) = delete;
    ~ItemSlots() { drop(); }

    PyObject* operator[](RecipeKey key) const noexcept {
        return keys_->values[static_cast<std::size_t>(key)];
    }
    void hold() noexcept {
        if (held_) return;
        take_own();
        for (PyObject* value : own_.values) Py_XINCREF(value);
        held_ = true;
    }
    // The slots for a borrowed scan to write into directly: copying a scan
    // just written would load its eight-byte stores back as wider words,
    // which the processor cannot forward.
    ScannedKeys& borrowed_slots() noexcept {
        drop();
        keys_ = &own_;
        return own_;
    }
    // Every entry from a strong scan, whose references are taken over.
    void adopt(ItemEntries& fresh) noexcept {
        drop();
        for (std::size_t i = 0; i < kRecipeKeyCount; ++i) own_.values[i] = fresh.values[i].release();
        keys_ = &own_;
        held_ = true;
    }
    // The entries of a fresh scan for the keys after `read`; those already
    // read keep the objects they were read from (a TextField points into
    // them).  Called with the entries held.
    void refresh_after(RecipeKey read, ItemEntries& fresh) noexcept {
        for (std::size_t i = static_cast<std::size_t>(read) + 1; i < kRecipeKeyCount; ++i) {
            Py_XDECREF(own_.values[i]);
            own_.values[i] = fresh.values[i].release();
        }
    }

  private:
    void take_own() noexcept {
        if (keys_ != &own_) own_ = *keys_;
        keys_ = &own_;
    }
    void drop() noexcept {
        if (!held_) return;
        for (PyObject* value : own_.values) Py_XDECREF(value);
        held_ = false;
    }

    const ScannedKeys* keys_;  // own_, or a borrowed scan read in place
    ScannedKeys own_;          // unused while keys_ points elsewhere
    bool held_ = false;
};

// Whether Python code may have run since the call began.  While it has not,
// every dict is as it was when the call started, so values read earlier in
// the call are still what a fresh read would give.
struct ReadState {
    bool python_may_have_run = false;
};

// Conversions that cannot call back into Python for this object.
inline bool converts_int_in_place(PyObject* object) noexcept { return PyLong_Check(object); }
inline bool converts_str_in_place(PyObject* object) noexcept {
    return PyUnicode_CheckExact(object);
}
inline bool converts_bool_in_place(PyObject* object) noexcept {
    return object == Py_True || object == Py_False;
}

// The recipe key a str not found by identity equals, by content (never by
// a str subclass's own __eq__), or -1.
int key_index(PyObject* key) noexcept;

// The interned key strings by address: a slot picked by a few bits of the
// address, the bits chosen once so that the seven keys get distinct slots.
// A dict built from string literals holds these very objects, so most keys
// are found with one load and one comparison.
class InternedKeyTable {
  public:
    explicit InternedKeyTable(const std::array<PyObject*, kRecipeKeyCount>& keys) noexcept {
        for (unsigned shift = 0; shift < 32; ++shift) {
            slots_.fill({});
            bool distinct = true;
            for (std::size_t i = 0; i < kRecipeKeyCount && distinct; ++i) {
                Slot& slot = slots_[slot_of(keys[i], shift)];
                distinct = slot.key == nullptr;
                slot = {keys[i], static_cast<int>(i)};
            }
            if (distinct) {
                shift_ = shift;
                return;
            }
        }
        slots_.fill({});  // no such bits: every key takes the general path
    }

  private:
    static constexpr std::size_t kSlots = 64;
    struct Slot {
        PyObject* key = nullptr;
        int index = -1;
    };

  public:
    // The table's slots and bits, copied into a walk's own variables, which
    // then stay in registers across its calls to the interpreter.
    class Lookup {
      public:
        // The recipe key `key` is: one of the interned objects, else a str
        // of a key's text (key_index); -1 for any other key.
        [[gnu::always_inline]] int match(PyObject* key) const noexcept {
            const Slot& slot = slots_[slot_of(key, shift_)];
            if (slot.key == key) return slot.index;
            return key_index(key);
        }

      private:
        friend class InternedKeyTable;
        Lookup(const Slot* slots, unsigned shift) noexcept : slots_(slots), shift_(shift) {}
        const Slot* slots_;
        unsigned shift_;
    };
    Lookup lookup() const noexcept { return {slots_.data(), shift_}; }

  private:
    static std::size_t slot_of(PyObject* key, unsigned shift) noexcept {
        return (reinterpret_cast<std::uintptr_t>(key) >> shift) % kSlots;
    }
    std::array<Slot, kSlots> slots_{};
    unsigned shift_ = 0;
};

// The table of the module's interned key strings, built on first use.
const InternedKeyTable& interned_key_table() noexcept;

// scan_item for an engine's own loop over items that are exact dicts (the
// caller has checked), under the interpreter lock: the same walk and the
// same matches, in line.
[[gnu::always_inline]] inline void scan_exact_dict(PyObject* dict,
                                                   const InternedKeyTable::Lookup& table,
                                                   ScannedKeys& out) noexcept {
    out.values.fill(nullptr);
    // for_each_entry's loop, written out: as a call of its own (which the
    // compiler made of it) it reloaded the table from memory at every entry.
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    for (Py_ssize_t left = PyDict_GET_SIZE(dict); left > 0 && PyDict_Next(dict, &position, &key, &value);
         --left) {
        const int index = table.match(key);
        if (index >= 0) out.values[static_cast<std::size_t>(index)] = value;
    }
}

// Raises the type-mismatch TypeError unless `item` is a dict (or subclass),
// then collects its entries.  Keys match by identity with the interned key
// strings first, then by content (never by a str subclass's own __hash__ or
// __eq__), the same in every pass.
bool scan_item(PyObject* item, ItemEntries& out);
// The same scan, borrowed: every slot is written (null when absent).
bool scan_item(PyObject* item, ScannedKeys& out);
bool scan_item(PyObject* item, ItemSlots& out);

// The value under `key` in a dict, matched as scan_item matches (borrowed
// into `out`, null when absent).
PyRef find_entry(PyObject* item, RecipeKey key);

// A str taken from an item: the object and its UTF-8 form.
struct TextField {
    PyObject* object = nullptr;  // held by the item's entries (or borrowed with them)
    std::string_view text;
};

struct RecipeItem {
    TextField name;
    TextField encoding;
    std::uint32_t bits = 0;
    TextField byte_order;
    bool reverse_bits = false;
    bool has_offset = false;
    std::uint64_t offset_bits = 0;
};

// The packet builder's length pass over a scanned item (scan_item is the
// dict check): "bits" and "offset_bits", with the same errors as a full read.
bool read_extent(PyObject* item, ItemSlots& entries, ReadState& state, std::uint32_t& bits,
                 bool& has_offset, std::uint64_t& offset);

// read_extent for the usual item, whose "bits" and "offset_bits" (if any)
// are ints in range (read in place): false, with nothing raised, for any
// other item, which read_extent then reads with its checks and errors.
// The entries are the item's "bits" and "offset_bits" (null when absent).
[[gnu::always_inline]] inline bool extent_in_place(PyObject* width, PyObject* start,
                                                   std::uint32_t& bits, bool& has_offset,
                                                   std::uint64_t& offset) noexcept {
    Py_ssize_t number = 0;
    if (!width || !compact_int(width, number) || number < 0 || number > UINT32_MAX) return false;
    bits = static_cast<std::uint32_t>(number);
    has_offset = start != nullptr;
    if (!has_offset) return true;
    if (!compact_int(start, number) || number < 0) return false;
    offset = static_cast<std::uint64_t>(number);
    return true;
}

inline bool read_extent_in_place(const ScannedKeys& keys, std::uint32_t& bits, bool& has_offset,
                                 std::uint64_t& offset) noexcept {
    return extent_in_place(keys.values[static_cast<std::size_t>(RecipeKey::bits)],
                           keys.values[static_cast<std::size_t>(RecipeKey::offset_bits)], bits,
                           has_offset, offset);
}

// An ASCII str read in place.
[[gnu::always_inline]] inline bool ascii_in_place(PyObject* entry, TextField& out) noexcept {
    if (!entry || !PyUnicode_CheckExact(entry) || !PyUnicode_IS_COMPACT_ASCII(entry)) return false;
    out.object = entry;
    out.text = {static_cast<const char*>(PyUnicode_DATA(entry)),
                static_cast<std::size_t>(PyUnicode_GET_LENGTH(entry))};
    return true;
}

// The usual item, whose texts are ASCII str objects, whose numbers are ints
// in range and whose "reverse_bits" is True or False: read without a call,
// since nothing can fail or run Python code.  False for any other item
// (with nothing raised), which KeyReader then reads with its checks in order.
template <class Entries>
[[gnu::always_inline]] inline bool read_item_in_place(const Entries& entries,
                                                    RecipeItem& out) noexcept {
    PyObject* reverse = entries[RecipeKey::reverse_bits];
    if (!ascii_in_place(entries[RecipeKey::name], out.name) ||
        !ascii_in_place(entries[RecipeKey::encoding], out.encoding) ||
        !ascii_in_place(entries[RecipeKey::byte_order], out.byte_order) ||
        (reverse != Py_True && reverse != Py_False)) {
        return false;
    }
    out.reverse_bits = reverse == Py_True;
    return extent_in_place(entries[RecipeKey::bits], entries[RecipeKey::offset_bits], out.bits,
                           out.has_offset, out.offset_bits);
}

// Checks and converts "name", "encoding", "bits", "byte_order",
// "reverse_bits" and "offset_bits" of a scanned item in that order; the first
// failure is raised ("Recipe missing required field: '{}'" for an absent
// key, else the conversion's error).
bool read_recipe_item(PyObject* item, ItemEntries& entries, ReadState& state, RecipeItem& out);
bool read_recipe_item(PyObject* item, ItemSlots& entries, ReadState& state, RecipeItem& out);

// KeyError "Recipe item '{}' missing required field: 'value'" when absent.
bool get_value(PyObject* entry, std::string_view item_name);

// The Unicode lowercase form of `field`, as str.lower gives it.  ASCII text
// needs no interpreter call; `storage` holds the result when it differs.
bool lowercase(const TextField& field, std::string& storage, std::string_view& out);

// A few (str object, resolved value) pairs of one call, matched by identity.
// Holds a reference to each object, so that an identity stays valid for the
// whole call; when it is full, further objects are simply not remembered.
template <class Value, std::size_t Size>
class IdentityCache {
  public:
    IdentityCache() noexcept = default;
    IdentityCache(const IdentityCache&) = delete;
    IdentityCache& operator=(const IdentityCache&) = delete;
    ~IdentityCache() {
        for (std::size_t i = 0; i < count_; ++i) Py_DECREF(slots_[i].entry.object);
    }

    bool find(PyObject* object, Value& out) const noexcept {
        for (std::size_t i = 0; i < count_; ++i) {
            if (slots_[i].entry.object == object) {
                out = slots_[i].entry.value;
                return true;
            }
        }
        return false;
    }
    // The first value for which `match(value)` holds.
    template <class Match>
    bool find_if(Match&& match, Value& out) const {
        for (std::size_t i = 0; i < count_; ++i) {
            if (match(slots_[i].entry.value)) {
                out = slots_[i].entry.value;
                return true;
            }
        }
        return false;
    }
    void add(PyObject* object, Value value) noexcept {
        if (count_ < Size) std::construct_at(&slots_[count_++].entry, Entry{Py_NewRef(object), value});
    }

  private:
    struct Entry {
        PyObject* object;
        Value value;
    };
    static_assert(std::is_trivially_destructible_v<Entry>);
    // Slots past count_ are left unwritten: a cache is made per call, and
    // clearing every slot first would cost more than the lookups it serves.
    union Slot {
        Slot() noexcept {}
        Entry entry;
    };
    std::array<Slot, Size> slots_;
    std::size_t count_ = 0;
};

// Encoding names and byte orders resolved during one call, by str object
// identity: recipes repeat the same few strings, so each distinct object is
// lowercased and looked up once.
class NameCache {
  public:
    explicit NameCache(NameDirection direction) noexcept : direction_(direction) {}

    // What the name selects for a field of `bits` bits (select_encoding,
    // with its error raised).  The usual item finds its name in line.
    bool encoding(const TextField& field, std::uint32_t bits, FieldEncoding& out) {
        NamedEncoding named;
        if (encodings_.find(field.object, named) && named.one_encoding) {
            out = named.encoding;
            return true;
        }
        return resolve_encoding(field, bits, out);
    }
    bool byte_order(const TextField& field, ByteOrder& out) {
        return orders_.find(field.object, out) || resolve_byte_order(field, out);
    }

  private:
    bool resolve_encoding(const TextField& field, std::uint32_t bits, FieldEncoding& out);
    bool resolve_byte_order(const TextField& field, ByteOrder& out);

    // A name's row, and its encoding when it names one whatever the width.
    struct NamedEncoding {
        std::string_view text;  // the name as given, in the str the cache holds
        const EncodingNameRow* row = nullptr;
        bool one_encoding = false;
        FieldEncoding encoding{FieldCodec::unsigned_integer};
    };
    bool named_encoding(const TextField& field, NamedEncoding& out);

    NameDirection direction_;
    IdentityCache<NamedEncoding, 8> encodings_;
    IdentityCache<ByteOrder, 4> orders_;
    std::string storage_;
};

// Where the engine was when it failed: the item's position and the item
// (borrowed from the call's own list of items, which outlives the engine).
// The item's name is looked up and turned into text only on failure, so a
// note names the item even when the failing key was read before "name" or in
// the packet builder's length pass.
struct ItemContext {
    Py_ssize_t index = -1;
    PyObject* item = nullptr;
};

// Replaces the pending engine exception by ValueError "{type}: {text}" and
// adds a note naming the recipe item.  Exceptions that are not Exception
// subclasses (KeyboardInterrupt, SystemExit, GeneratorExit, the module's
// InternalError) pass through unchanged.
[[gnu::cold]] void rewrap_engine_error(const ItemContext& context);

// Runs an engine body, reporting a failed C++ allocation inside it as
// MemoryError "cannot allocate memory" (rewrapped and noted like every other
// engine error), not as a bare MemoryError from the module's outer guard.
template <class Body>
auto run_engine(Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_SetString(PyExc_MemoryError, "cannot allocate memory");
    } catch (const std::length_error&) {
        PyErr_SetString(PyExc_MemoryError, "cannot allocate memory");
    }
    return nullptr;
}

}  // namespace bitloom
