// Building a packet from a recipe.
#pragma once

#include <Python.h>

#include "engine/recipe_items.hpp"

namespace bitloom {

// `items` is a list or tuple of recipe items.  Returns the packet as a new
// bytes object, or null with the engine's exception raised; `context` then
// names the item that failed.
PyObject* build_packet(PyObject* items, ItemContext& context);

}  // namespace bitloom
