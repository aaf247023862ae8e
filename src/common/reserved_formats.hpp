// The float formats that are named in the interface but have no conversion.
#pragma once

#include <cstdint>

namespace bitloom {

enum class ReservedFormat : std::uint8_t {
    ti_f32,
    ti_f40,
    dec_f32,
    dec_f64,
    ibm_f32,
    ibm_f64,
    ieee754_1985_f32,
    ieee754_1985_f64,
    ieee754_1985_f80,
    mil_std_1750a_f32,
    mil_std_1750a_f48,
};

}  // namespace bitloom
