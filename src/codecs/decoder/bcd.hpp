// Packed and unpacked (zoned) binary-coded decimal decoders.
#pragma once

#include <cstdint>

#include "core/codec_result.hpp"

namespace bitloom {

Result<std::int64_t> decode_packed_bcd(std::uint64_t pattern, std::uint32_t bits, bool is_signed);
Result<std::int64_t> decode_unpacked_bcd(std::uint64_t pattern, std::uint32_t bits, bool is_signed);

}  // namespace bitloom
