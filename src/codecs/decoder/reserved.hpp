// Decoding refusals of the reserved float formats.
#pragma once

#include "core/codec_result.hpp"
#include "core/reserved_formats.hpp"

namespace bitloom {

// NotImplementedError "<format> format not yet implemented".
CodecError refuse_decoding(ReservedFormat format);

}  // namespace bitloom
