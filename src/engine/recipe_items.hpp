// Reading recipe items: the keys every item carries, their conversions and
// the messages for absent keys, the lowercasing of names, and the context
// that names the failing item when an engine error reaches the caller.
// Shared by the packet builder and the packet parser, which read the same
// keys in the same order.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "core/codec_result.hpp"
#include "recipe/encoding_names.hpp"
#include "python/errors.hpp"
#include "python/python_ref.hpp"

namespace bitloom {

// Item `index` of a recipe (a list or tuple), or null past its end.  The
// items of a list can change while values are converted (their hooks run
// Python code), so every access re-reads the size and takes a reference.
PyRef recipe_item_at(PyObject* items, Py_ssize_t index);

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

// Interned key strings, created once by the module's initialisation.
bool create_recipe_keys();

// The values of the keys an item carries, found in one pass over the dict
// (strong references: converting one value may run code that changes the
// dict).  A null entry is an absent key.
struct ItemEntries {
    PyRef name;
    PyRef encoding;
    PyRef bits;
    PyRef byte_order;
    PyRef reverse_bits;
    PyRef offset_bits;
    PyRef value;
};

// Raises the type-mismatch TypeError unless `item` is a dict (or subclass),
// then collects its entries.
bool scan_item(PyObject* item, ItemEntries& out);

// The length pass of the packet builder reads only "bits" and
// "offset_bits" (after the dict check), with the same errors.
bool read_extent(PyObject* item, std::uint32_t& bits, bool& has_offset, std::uint64_t& offset);

// A str taken from an item: the object and its UTF-8 form.
struct TextField {
    PyObject* object = nullptr;  // borrowed from ItemEntries
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

// Presence check ("Recipe missing required field: '{}'") and conversion of
// one scanned entry.
bool get_required_field(PyObject* entry, const char* key, TextField& out);
bool get_required_bits(PyObject* entry, std::uint32_t& out);
bool get_reverse_bits(PyObject* entry, bool& out);
bool get_optional_field(PyObject* entry, bool& present, std::uint64_t& out);
// KeyError "Recipe item '{}' missing required field: 'value'" when absent.
bool get_value(PyObject* entry, std::string_view item_name);

// Checks and converts "name", "encoding", "bits", "byte_order",
// "reverse_bits" and "offset_bits" in that order; the first failure is
// raised.
bool read_recipe_item(const ItemEntries& entries, RecipeItem& out);

// The Unicode lowercase form of `field`, as str.lower gives it.  ASCII text
// needs no interpreter call; `storage` holds the result when it differs.
bool lowercase(const TextField& field, std::string& storage, std::string_view& out);

// Encoding names and byte orders resolved during one call, by str object
// identity: recipes repeat the same few strings, so each distinct object is
// lowercased and looked up once.  Holds references so that identities stay
// valid for the whole call.
class NameCache {
  public:
    explicit NameCache(NameDirection direction) noexcept : direction_(direction) {}
    NameCache(const NameCache&) = delete;
    NameCache& operator=(const NameCache&) = delete;
    ~NameCache();

    // The table row of an encoding name (null when the table lacks it).
    bool encoding_row(const TextField& field, const EncodingNameRow*& row);
    bool byte_order(const TextField& field, ByteOrder& out);

  private:
    static constexpr std::size_t kSize = 8;
    struct Entry {
        PyObject* object;
        const EncodingNameRow* row;
    };
    struct OrderEntry {
        PyObject* object;
        ByteOrder order;
    };
    NameDirection direction_;
    std::array<Entry, kSize> encodings_{};
    std::size_t encoding_count_ = 0;
    std::array<OrderEntry, 4> orders_{};
    std::size_t order_count_ = 0;
    std::string storage_;
};

// Where the engine was when it failed: the item's position and the item.
// Kept as plain values; the item's name is looked up and turned into text
// only on failure, so a note names the item even when the failing key was
// read before "name" or in the packet builder's length pass.
struct ItemContext {
    Py_ssize_t index = -1;
    PyRef item;
};

// Takes item `index` of the recipe into `context` and reads its keys into
// `entries` and `fields` (the dict check, then "name" .. "offset_bits").
enum class ItemRead { read, end, failed };
ItemRead read_next_item(PyObject* items, Py_ssize_t index, ItemContext& context,
                        ItemEntries& entries, RecipeItem& fields);

// Replaces the pending engine exception by ValueError "{type}: {text}" and
// adds a note naming the recipe item.
[[gnu::cold]] void rewrap_engine_error(const ItemContext& context);

}  // namespace bitloom
