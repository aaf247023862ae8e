// IEEE 754 encoders: binary32 to binary16, and the refusal of binary128.
// binary32 and binary64 patterns are the numbers' own bits and need no
// routine here.
#include "codecs/encoder/ieee754.hpp"

#include "core/binary16.hpp"
#include "core/message.hpp"

namespace bitloom {

// The value arrives already rounded to binary32 (the float32 argument
// conversion), so a binary64 argument is rounded twice: once to binary32,
// then here to binary16.  That can differ from one direct rounding when the
// first lands exactly on a binary16 halfway point; it is the intended result.
std::uint16_t encode_ieee754_f16(float value) noexcept {
    return processor_has_f16c() ? binary16_from_float_f16c(value)
                                : binary16_from_float_software(value);
}

Result<std::uint64_t> encode_ieee754_f128(double) {
    return make_error(ErrorKind::not_implemented_error,
                      "IEEE 754 f128 encoding not yet implemented");
}

}  // namespace bitloom
