// Reading the fields of a recipe out of a packet.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

#include "engine/recipe_items.hpp"

namespace bitloom {

// Returns a new dict from each item's name to its decoded value, or null
// with the engine's exception raised; `context` then names the failing item.
PyObject* process_recipe(std::span<const std::uint8_t> packet, std::uint64_t start_offset,
                         std::span<PyObject* const> items, ItemContext& context);

}  // namespace bitloom
