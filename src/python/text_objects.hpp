// Bridges between the text codec routines and Python objects: decoded text is
// built straight into a str of the narrowest kind, encoded text straight into
// bytes or into a caller's field buffer.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <vector>

#include "core/text_codecs.hpp"

namespace bitloom {

// A new str, or null with the codec's ValueError (or MemoryError) raised.
PyObject* decode_text_to_str(TextCodec codec, std::span<const std::uint8_t> bytes);

// A new bytes object holding `text` (a str) in `codec`, or null with the
// exception raised: the codec's ValueError, or the interpreter's
// UnicodeEncodeError for a str holding a lone surrogate.
PyObject* encode_text_to_bytes(TextCodec codec, PyObject* text);

// As encode_text_to_bytes, into `out` (replacing its contents); false with
// the exception raised.  Used by the packet builder for text fields.
bool encode_text_field(TextCodec codec, PyObject* text, std::vector<std::uint8_t>& out);

}  // namespace bitloom
