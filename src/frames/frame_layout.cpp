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
        const char* form = field.arrangement == Arrangement::permuted  ? "A byte order permutation"
                           : field.arrangement == Arrangement::lsb_first ? "byte_order 'lsb_first'"
                                                                          : "byte_order 'little_lsb0'";
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
    // Each field as the runs of bits it holds, most significant first
    // numbering: one run, or a little_lsb0 field's pieces (whole bytes
    // between its first and last joined into one run).
    struct Run {
        std::uint64_t start;
        std::uint64_t end;
        std::size_t field;
    };
    std::vector<Run> runs;
    runs.reserve(fields.size());
    for (std::size_t index = 0; index < fields.size(); ++index) {
        const FrameField& field = fields[index];
        if (field.bits == 0) continue;
        if (field.arrangement != Arrangement::little_lsb0) {
            runs.push_back({field.start, field.end(), index});
            continue;
        }
        lsb0_pieces(field, [&](std::uint64_t bit, unsigned count, unsigned) {
            if (!runs.empty() && runs.back().field == index && runs.back().end == bit) {
                runs.back().end = bit + count;
            } else {
                runs.push_back({bit, bit + count, index});
            }
        });
    }
    std::stable_sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.start < b.start; });
    bool seen = false;
    Run furthest{};  // the run with the furthest end so far
    for (const Run& run : runs) {
        if (seen && run.start < furthest.end) {
            return Overlap{std::min(furthest.field, run.field), std::max(furthest.field, run.field)};
        }
        if (!seen || run.end > furthest.end) furthest = run;
        seen = true;
    }
    return std::nullopt;
}

}  // namespace bitloom::frames
