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

// The dict of the usual recipe in one pass, as process_recipe builds it, or
// null with nothing raised for any other recipe (then process_recipe is run,
// and raises what it raises).  Usual: every item an exact dict whose keys
// read in place (exact ASCII str texts, ints in range, reverse_bits True or
// False), whose byte order is "big" or "little", whose encoding names one
// encoding for its width with a numeric lane (field_codecs.hpp) or is text
// of ASCII bytes in the ascii_text lane, and whose window lies inside the
// packet.  Nothing in it runs Python code, so under the GIL `items` may be
// borrowed from a list that only the GIL keeps unchanged; without the GIL
// they must be the call's own references (each item is read inside its
// critical section).
PyObject* process_usual_recipe(std::span<const std::uint8_t> packet, std::uint64_t start_offset,
                               std::span<PyObject* const> items) noexcept;

}  // namespace bitloom
