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

// The packet of the usual recipe in one pass, as build_packet builds it, or
// null with nothing raised for any other recipe (then build_packet is run,
// and raises what it raises).  Usual: every item an exact dict whose keys
// read in place (ASCII str texts, ints in range, reverse_bits True or False),
// whose encoding names one encoding for its width with a lane that takes the
// value (field_codecs.hpp), whose byte order is "big" or "little", in a
// packet of at most 512 bytes.  Nothing in it can fail or run Python code,
// so under the GIL `items` may be borrowed from a list that only the GIL
// keeps unchanged; without the GIL they must be the call's own references
// (each item is read inside its critical section).
PyObject* build_usual_packet(std::span<PyObject* const> items) noexcept;

}  // namespace bitloom
