// Decoding refusals of the reserved float formats.
#pragma once

#include "common/codec_result.hpp"
#include "common/reserved_formats.hpp"

namespace bitloom {

// NotImplementedError "<format> format not yet implemented".
CodecError refuse_decoding(ReservedFormat format);

}  // namespace bitloom
