// A numeric field's decoded value as one 64-bit slot: an int64, a uint64 or
// the bits of a double.  The slot decoders are the numeric half of the
// field-codec table with no interpreter in them: the table's rows decode a
// field to a Python value through them, and compiled recipes fill whole
// columns of slots with them while other threads run.
#pragma once

#include <cstdint>

#include "core/codec_result.hpp"
#include "recipe/encoding_names.hpp"

namespace bitloom {

enum class SlotType : std::uint8_t { int64, uint64, float64 };

// Decodes the field value `pattern` of a `bits`-bit field (the field's bits
// with byte order and reversal undone) into `slot`.  False with `error` set
// for a pattern the codec refuses (a BCD digit above 9).
using SlotDecoder = bool (*)(std::uint64_t pattern, std::uint32_t bits, std::uint64_t& slot,
                             CodecError& error);

struct FieldSlot {
    SlotType type;
    SlotDecoder decode;
};

// The slot of a codec whose field value is a number of up to 64 bits; null
// for text, raw bytes, the reserved formats and binary128 (whose patterns
// have 128 bits).
const FieldSlot* field_slot(FieldCodec codec) noexcept;

}  // namespace bitloom
