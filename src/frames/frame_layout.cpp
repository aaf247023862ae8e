#include "frames/frame_layout.hpp"

#include <algorithm>
#include <numeric>
#include <vector>

#include "core/message.hpp"
#include "codecs/decoder/reserved.hpp"
#include "codecs/encoder/bcd.hpp"
#include "codecs/encoder/integer.hpp"
#include "frames/codec_traits.hpp"

namespace bitloom::frames {

namespace {

// The codec's own width limits, found by encoding zero, which every width
// the codec takes can hold.
Status check_codec_width(const FrameField& field) {
    Result<std::uint64_t> encoded = std::uint64_t{0};
    switch (field.codec) {
        case FieldCodec::sign_magnitude: encoded = encode_sign_magnitude(0, field.bits); break;
        case FieldCodec::unpacked_bcd: encoded = encode_unpacked_bcd(0, field.bits, false); break;
        case FieldCodec::unpacked_bcd_signed: encoded = encode_unpacked_bcd(0, field.bits, true); break;
        case FieldCodec::packed_bcd: encoded = encode_packed_bcd(0, field.bits, false); break;
        case FieldCodec::packed_bcd_signed: encoded = encode_packed_bcd(0, field.bits, true); break;
        default: break;
    }
    if (!encoded) return std::move(encoded.error());
    return Done{};
}

}  // namespace

Status check_field(const FrameField& field, ReservedFormat reserved) {
    if (field.codec == FieldCodec::reserved) return refuse_decoding(reserved);
    const ColumnKind kind = column_kind(field.codec);
    const CodecTraits& traits = codec_traits(field.codec);
    if (const std::uint32_t width = traits.only_width; width != 0 && field.bits != width) {
        return make_error(ErrorKind::value_error, "binary{} fields are {} bits wide, not {}",
                          {width, width, field.bits});
    }
    if (traits.numeric && traits.only_width == 0 && field.bits > 64) {
        return make_error(ErrorKind::value_error,
                          "A numeric field of {} bits is wider than the 64 bits of its values",
                          {field.bits});
    }
    if (field.arrangement != Arrangement::by_order) {
        const char* form = field.arrangement == Arrangement::permuted ? "A byte order permutation"
                                                                      : "byte_order 'lsb_first'";
        if (!is_numeric(kind) || field.bits > 64) {
            return make_error(ErrorKind::value_error,
                              "{} applies to numeric fields of up to 64 bits", {form});
        }
    }
    // Packing a little-endian field reverses its whole bytes and then keeps
    // its last `bits` bits, which drops the top bits of the value's low
    // byte unless the field is whole bytes (or fits in one byte).
    if (kind != ColumnKind::text && field.order == ByteOrder::little && field.bits > 8 &&
        field.bits % 8 != 0) {
        return make_error(ErrorKind::value_error,
                          "A little-endian field of {} bits cannot be packed so that it reads back: "
                          "little-endian fields wider than a byte are whole bytes",
                          {field.bits});
    }
    if (kind == ColumnKind::text && field.bits % 8 != 0) {
        return make_error(ErrorKind::value_error,
                          "A text field of {} bits does not hold whole bytes: text fields are a "
                          "multiple of 8 bits",
                          {field.bits});
    }
    return check_codec_width(field);
}

std::optional<Overlap> find_overlap(std::span<const FrameField> fields) {
    std::vector<std::size_t> order(fields.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return fields[a].start < fields[b].start;
    });
    bool seen = false;
    std::size_t furthest = 0;  // the field with the furthest end so far
    for (std::size_t index : order) {
        const FrameField& field = fields[index];
        if (field.bits == 0) continue;
        if (seen && field.start < fields[furthest].end()) {
            return Overlap{std::min(furthest, index), std::max(furthest, index)};
        }
        if (!seen || field.end() > fields[furthest].end()) furthest = index;
        seen = true;
    }
    return std::nullopt;
}

}  // namespace bitloom::frames
