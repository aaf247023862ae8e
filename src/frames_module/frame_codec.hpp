// The FrameCodec type: a recipe compiled once into plain field structs,
// then used to pack values into frames and to read frames back, one at a
// time or a whole dump at once.
#pragma once

#include <Python.h>

#include <span>

#include "frames/frame_field.hpp"

namespace bitloom::frames {

extern PyTypeObject FrameCodecType;

// What the codecs look up once for the life of the process; the module's
// initialisation calls it before the type can be used.  False with an
// exception set.
bool prepare_frame_codecs();

// The compiled fields of a FrameCodec, in recipe order, valid while the
// codec lives; false with TypeError set for any other object.
bool frame_codec_layouts(PyObject* codec, std::span<const FrameField>& out);

}  // namespace bitloom::frames
