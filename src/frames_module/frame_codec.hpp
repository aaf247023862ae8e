// The FrameCodec type: a recipe compiled once into plain field structs,
// then used to pack values into frames and to read frames back, one at a
// time or a whole dump at once.
#pragma once

#include <Python.h>

namespace bitloom::frames {

extern PyTypeObject FrameCodecType;

}  // namespace bitloom::frames
