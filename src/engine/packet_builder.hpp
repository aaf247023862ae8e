// Building a packet from a recipe.
#pragma once

#include <Python.h>

#include <span>

#include "engine/recipe_items.hpp"

namespace bitloom {

// `items` is the call's own list of recipe items.  Returns the packet as a
// new bytes object, or null with the engine's exception raised; `context`
// then names the item that failed.
PyObject* build_packet(std::span<PyObject* const> items, ItemContext& context);

}  // namespace bitloom
