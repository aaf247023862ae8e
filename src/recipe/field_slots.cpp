// The slot decoders, one per numeric codec, each a thin step from the
// pattern to the codec's decoder in src/codecs and into the slot.
#include "recipe/field_slots.hpp"

#include <bit>
#include <utility>

#include "core/bits.hpp"
#include "codecs/decoder/bcd.hpp"
#include "codecs/decoder/ieee754.hpp"
#include "codecs/decoder/integer.hpp"

namespace bitloom {

namespace {

std::uint64_t float_slot(double value) noexcept { return std::bit_cast<std::uint64_t>(value); }

bool unsigned_slot(std::uint64_t pattern, std::uint32_t, std::uint64_t& slot, CodecError&) {
    slot = pattern;
    return true;
}

template <std::int64_t (*Decode)(std::uint64_t, std::uint32_t) noexcept>
bool integer_slot(std::uint64_t pattern, std::uint32_t bits, std::uint64_t& slot, CodecError&) {
    slot = as_unsigned(Decode(pattern, bits));
    return true;
}

template <Result<std::int64_t> (*Decode)(std::uint64_t, std::uint32_t, bool), bool Signed>
bool bcd_slot(std::uint64_t pattern, std::uint32_t bits, std::uint64_t& slot, CodecError& error) {
    Result<std::int64_t> decoded = Decode(pattern, bits, Signed);
    if (!decoded) {
        error = std::move(decoded.error());
        return false;
    }
    slot = as_unsigned(decoded.value());
    return true;
}

// A wider field holds the binary16 pattern in its low 16 bits (and a
// binary32 one in its low 32).
bool f16_slot(std::uint64_t pattern, std::uint32_t, std::uint64_t& slot, CodecError&) {
    slot = float_slot(static_cast<double>(decode_ieee754_f16(pattern & 0xFFFFu)));
    return true;
}

bool f32_slot(std::uint64_t pattern, std::uint32_t, std::uint64_t& slot, CodecError&) {
    slot = float_slot(static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(pattern))));
    return true;
}

bool f64_slot(std::uint64_t pattern, std::uint32_t, std::uint64_t& slot, CodecError&) {
    slot = pattern;
    return true;
}

using F = FieldCodec;
using S = SlotType;

constexpr FieldSlot kUnsigned{S::uint64, unsigned_slot};
constexpr FieldSlot kTwos{S::int64, integer_slot<decode_twos_complement>};
constexpr FieldSlot kOnes{S::int64, integer_slot<decode_ones_complement>};
constexpr FieldSlot kSignMagnitude{S::int64, integer_slot<decode_sign_magnitude>};
constexpr FieldSlot kUnpackedBcd{S::int64, bcd_slot<decode_unpacked_bcd, false>};
constexpr FieldSlot kUnpackedBcdSigned{S::int64, bcd_slot<decode_unpacked_bcd, true>};
constexpr FieldSlot kPackedBcd{S::int64, bcd_slot<decode_packed_bcd, false>};
constexpr FieldSlot kPackedBcdSigned{S::int64, bcd_slot<decode_packed_bcd, true>};
constexpr FieldSlot kF16{S::float64, f16_slot};
constexpr FieldSlot kF32{S::float64, f32_slot};
constexpr FieldSlot kF64{S::float64, f64_slot};

}  // namespace

const FieldSlot* field_slot(FieldCodec codec) noexcept {
    switch (codec) {
        case F::unsigned_integer: return &kUnsigned;
        case F::twos_complement: return &kTwos;
        case F::ones_complement: return &kOnes;
        case F::sign_magnitude: return &kSignMagnitude;
        case F::unpacked_bcd: return &kUnpackedBcd;
        case F::unpacked_bcd_signed: return &kUnpackedBcdSigned;
        case F::packed_bcd: return &kPackedBcd;
        case F::packed_bcd_signed: return &kPackedBcdSigned;
        case F::ieee754_f16: return &kF16;
        case F::ieee754_f32: return &kF32;
        case F::ieee754_f64: return &kF64;
        case F::raw_bytes:
        case F::text:
        case F::ieee754_f128:
        case F::reserved: return nullptr;
    }
    return nullptr;
}

}  // namespace bitloom
