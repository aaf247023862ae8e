// Encoding refusals of the reserved float formats.
#pragma once

#include "core/codec_result.hpp"
#include "core/reserved_formats.hpp"

namespace bitloom {

// NotImplementedError "<format> encoding not yet implemented".
CodecError refuse_encoding(ReservedFormat format);

}  // namespace bitloom
