// Reading recipe items: the keys every item carries, their conversions and
// the messages for absent keys, the lowercasing of names, and the context
// that names the failing item when an engine error reaches the caller.
// Shared by the packet builder and the packet parser, which read the same
// keys in the same order.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "module/python_ref.hpp"

namespace bitloom {

// Interned key strings, created once by the module's initialisation.
bool create_recipe_keys();

// A str taken from an item: the object (kept alive) and its UTF-8 form.
struct TextField {
    PyRef object;
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

// Raises the type-mismatch TypeError unless `item` is a dict (or subclass).
bool check_item_is_dict(PyObject* item);

bool get_required_field(PyObject* item, PyObject* key, TextField& out);
bool get_required_bits(PyObject* item, std::uint32_t& out);
bool get_reverse_bits(PyObject* item, bool& out);
bool get_optional_field(PyObject* item, bool& present, std::uint64_t& out);
// The raw "value" object (new reference), or null with KeyError raised.
PyRef get_value(PyObject* item, std::string_view item_name);

// Reads "name", "encoding", "bits", "byte_order", "reverse_bits" and
// "offset_bits" in that order; the first failure is raised.
bool read_recipe_item(PyObject* item, RecipeItem& out);

// The Unicode lowercase form of `field`, as str.lower gives it.  ASCII text
// needs no interpreter call; `storage` holds the result when it differs.
bool lowercase(const TextField& field, std::string& storage, std::string_view& out);

// Where the engine was when it failed: the item's position and the item.
// Kept as plain values; the item's name is looked up and turned into text
// only on failure, so a note names the item even when the failing key was
// read before "name" or in the packet builder's length pass.
struct ItemContext {
    Py_ssize_t index = -1;
    PyRef item;
};

// Replaces the pending engine exception by ValueError "{type}: {text}" and
// adds a note naming the recipe item.
[[gnu::cold]] void rewrap_engine_error(const ItemContext& context);

}  // namespace bitloom
