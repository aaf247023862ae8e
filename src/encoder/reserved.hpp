// Encoding refusals of the reserved float formats.
#pragma once

#include "common/codec_result.hpp"
#include "common/reserved_formats.hpp"

namespace bitloom {

// NotImplementedError "<format> encoding not yet implemented".
CodecError refuse_encoding(ReservedFormat format);

}  // namespace bitloom
