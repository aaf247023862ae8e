// The float formats that are named in the interface but have no conversion.
// Every encoder and decoder of these formats refuses with NotImplementedError;
// the table below is the one place that names them, so the two directions'
// messages and the packet builder's widths all come from the same row.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

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

struct ReservedFormatRow {
    ReservedFormat format;
    std::string_view name;  // as it appears in both refusal messages
    std::uint32_t width;    // bits
};

// In enum order, so that a format indexes its own row.
inline constexpr std::array<ReservedFormatRow, 11> kReservedFormats{{
    {ReservedFormat::ti_f32, "TI f32", 32},
    {ReservedFormat::ti_f40, "TI f40", 40},
    {ReservedFormat::dec_f32, "DEC f32", 32},
    {ReservedFormat::dec_f64, "DEC f64", 64},
    {ReservedFormat::ibm_f32, "IBM f32", 32},
    {ReservedFormat::ibm_f64, "IBM f64", 64},
    {ReservedFormat::ieee754_1985_f32, "IEEE 754-1985 f32", 32},
    {ReservedFormat::ieee754_1985_f64, "IEEE 754-1985 f64", 64},
    {ReservedFormat::ieee754_1985_f80, "IEEE 754-1985 f80", 80},
    {ReservedFormat::mil_std_1750a_f32, "MIL-STD-1750A f32", 32},
    {ReservedFormat::mil_std_1750a_f48, "MIL-STD-1750A f48", 48},
}};

constexpr bool rows_follow_enum_order() {
    for (std::size_t i = 0; i < kReservedFormats.size(); ++i) {
        if (static_cast<std::size_t>(kReservedFormats[i].format) != i) return false;
    }
    return true;
}
static_assert(rows_follow_enum_order());

constexpr const ReservedFormatRow& reserved_format_row(ReservedFormat format) noexcept {
    return kReservedFormats[static_cast<std::size_t>(format)];
}

// The encoders convert their argument before refusing: the 32-bit formats
// through the single-precision conversion, the wider ones as a double.
constexpr bool takes_float32(ReservedFormat format) noexcept {
    return reserved_format_row(format).width == 32;
}

}  // namespace bitloom
