// IEEE 754 encoders.  binary32 and binary64 need no routine: their pattern is
// the number's own bits (std::bit_cast).
#pragma once

#include <cstdint>

#include "core/codec_result.hpp"

namespace bitloom {

// binary32 to binary16, round to nearest, ties to even.  Uses F16C when the
// processor has it, the software steps otherwise; both agree on every input.
std::uint16_t encode_ieee754_f16(float value) noexcept;

// Always the NotImplementedError refusal; the value is ignored.
Result<std::uint64_t> encode_ieee754_f128(double value);

}  // namespace bitloom
