#include "frames/codec_traits.hpp"

namespace bitloom::frames {

namespace {

// The bits a non-negative value below 10^digits needs (digits up to 19).
constexpr std::uint32_t decimal_bits(std::uint32_t digits) noexcept {
    std::uint64_t largest = 1;
    for (std::uint32_t i = 0; i < digits && i < 19; ++i) largest *= 10;
    largest -= 1;
    std::uint32_t bits = 1;
    while (bits < 64 && (largest >> bits) != 0) ++bits;
    return bits;
}

// A field wider than 64 bits holds digits in its low 64 bits only.
ColumnType packed_bcd(std::uint32_t bits) noexcept { return unsigned_type(decimal_bits((bits < 64 ? bits : 64) / 4)); }
// The low nibble is the sign.
ColumnType packed_bcd_signed(std::uint32_t bits) noexcept {
    const std::uint32_t nibbles = (bits < 64 ? bits : 64) / 4;
    return signed_type(decimal_bits(nibbles > 0 ? nibbles - 1 : 0) + 1);
}
ColumnType unpacked_bcd(std::uint32_t bits) noexcept { return unsigned_type(decimal_bits((bits < 64 ? bits : 64) / 8)); }
ColumnType unpacked_bcd_signed(std::uint32_t bits) noexcept {
    return signed_type(decimal_bits((bits < 64 ? bits : 64) / 8) + 1);
}
ColumnType any_unsigned(std::uint32_t bits) noexcept { return unsigned_type(bits); }
ColumnType any_signed(std::uint32_t bits) noexcept { return signed_type(bits); }
ColumnType single(std::uint32_t) noexcept { return ColumnType::float32; }
ColumnType double_(std::uint32_t) noexcept { return ColumnType::float64; }
ColumnType string(std::uint32_t) noexcept { return ColumnType::string; }
ColumnType binary(std::uint32_t) noexcept { return ColumnType::binary; }

using F = FieldCodec;
using B = BulkDecode;

constexpr CodecTraits kTraits[kFieldCodecCount] = {
    {F::unsigned_integer, B::unsigned_bits, 0, true, any_unsigned},
    {F::twos_complement, B::twos_complement, 0, true, any_signed},
    {F::ones_complement, B::slot, 0, true, any_signed},
    {F::sign_magnitude, B::slot, 0, true, any_signed},
    {F::unpacked_bcd, B::slot, 0, true, unpacked_bcd},
    {F::unpacked_bcd_signed, B::slot, 0, true, unpacked_bcd_signed},
    {F::packed_bcd, B::slot, 0, true, packed_bcd},
    {F::packed_bcd_signed, B::slot, 0, true, packed_bcd_signed},
    {F::raw_bytes, B::raw_bytes, 0, false, binary},
    {F::text, B::text, 0, false, string},
    {F::ieee754_f16, B::float16, 16, true, single},
    {F::ieee754_f32, B::float32, 32, true, single},
    {F::ieee754_f64, B::float64, 64, true, double_},
    {F::ieee754_f128, B::float128, 128, true, double_},
    {F::reserved, B::none, 0, false, binary},
};

constexpr bool rows_in_order() noexcept {
    for (std::size_t i = 0; i < kFieldCodecCount; ++i) {
        if (static_cast<std::size_t>(kTraits[i].codec) != i) return false;
    }
    return true;
}
static_assert(rows_in_order(), "one row per codec, in the enum's order");

}  // namespace

const CodecTraits& codec_traits(FieldCodec codec) noexcept {
    return kTraits[static_cast<std::size_t>(codec)];
}

}  // namespace bitloom::frames
