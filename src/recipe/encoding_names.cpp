// The two encoding-name tables.  Both list the codecs in the same order, so
// that the names each direction accepts can be compared codec by codec.
#include "recipe/encoding_names.hpp"

#include <array>
#include <bit>
#include <cstring>

#include "core/bits.hpp"
#include "core/message.hpp"

namespace bitloom {

namespace {

enum class Family : std::uint8_t { none, ieee754, ieee754_1985, mil_std_1750a, ti, dec, ibm };

}  // namespace

struct EncodingNameRow {
    std::string_view name;
    FieldEncoding encoding;
    Family family = Family::none;
};

namespace {

using NameRow = EncodingNameRow;

constexpr FieldEncoding plain(FieldCodec codec) { return {codec}; }
constexpr FieldEncoding text(TextCodec codec) { return {FieldCodec::text, codec}; }
constexpr FieldEncoding reserved(ReservedFormat format) {
    return {FieldCodec::reserved, TextCodec::utf8, format};
}
constexpr NameRow family(std::string_view name, Family which) {
    return {name, plain(FieldCodec::reserved), which};
}

using F = FieldCodec;
using T = TextCodec;
using R = ReservedFormat;

// clang-format off
constexpr NameRow kPackingNames[] = {
    {"unsigned", plain(F::unsigned_integer)},
    {"twoscomplement", plain(F::twos_complement)}, {"twos_complement", plain(F::twos_complement)}, {"twos-complement", plain(F::twos_complement)},
    {"onescomplement", plain(F::ones_complement)}, {"ones_complement", plain(F::ones_complement)}, {"ones-complement", plain(F::ones_complement)},
    {"signmagnitude", plain(F::sign_magnitude)}, {"sign_magnitude", plain(F::sign_magnitude)}, {"sign-magnitude", plain(F::sign_magnitude)},
    {"bcd", plain(F::unpacked_bcd)},
    {"bcdsigned", plain(F::unpacked_bcd_signed)}, {"bcd_signed", plain(F::unpacked_bcd_signed)}, {"bcd-signed", plain(F::unpacked_bcd_signed)},
    {"packedbcd", plain(F::packed_bcd)}, {"packed_bcd", plain(F::packed_bcd)}, {"packed-bcd", plain(F::packed_bcd)},
    {"packedbcdsigned", plain(F::packed_bcd_signed)}, {"packed_bcd_signed", plain(F::packed_bcd_signed)}, {"packed-bcd-signed", plain(F::packed_bcd_signed)},
    {"binary", plain(F::raw_bytes)},
    {"utf8", text(T::utf8)}, {"utf_8", text(T::utf8)}, {"utf-8", text(T::utf8)},
    {"utf16", text(T::utf16)}, {"utf_16", text(T::utf16)}, {"utf-16", text(T::utf16)},
    {"utf32", text(T::utf32)}, {"utf_32", text(T::utf32)}, {"utf-32", text(T::utf32)},
    {"utf16le", text(T::utf16le)}, {"utf-16le", text(T::utf16le)}, {"utf_16_le", text(T::utf16le)},
    {"utf16be", text(T::utf16be)}, {"utf-16be", text(T::utf16be)}, {"utf_16_be", text(T::utf16be)},
    {"utf32le", text(T::utf32le)}, {"utf-32le", text(T::utf32le)}, {"utf_32_le", text(T::utf32le)},
    {"utf32be", text(T::utf32be)}, {"utf-32be", text(T::utf32be)}, {"utf_32_be", text(T::utf32be)},
    {"usascii", text(T::us_ascii)}, {"us_ascii", text(T::us_ascii)}, {"us-ascii", text(T::us_ascii)},
    {"iso8859_1", text(T::iso_8859_1)}, {"iso8859-1", text(T::iso_8859_1)}, {"iso_8859_1", text(T::iso_8859_1)}, {"iso-8859-1", text(T::iso_8859_1)},
    {"windows1252", text(T::windows_1252)}, {"windows_1252", text(T::windows_1252)}, {"windows-1252", text(T::windows_1252)},
    family("ieee754", Family::ieee754), family("ieee_754", Family::ieee754), family("ieee-754", Family::ieee754),
    family("ieee754_1985", Family::ieee754_1985), family("ieee754-1985", Family::ieee754_1985),
    family("ieee_754_1985", Family::ieee754_1985), family("ieee_754-1985", Family::ieee754_1985),
    family("mil_std_1750a", Family::mil_std_1750a), family("mil-std-1750a", Family::mil_std_1750a), family("mil_std-1750a", Family::mil_std_1750a),
    family("ti", Family::ti),
    family("dec", Family::dec),
    family("ibm", Family::ibm),
};

constexpr NameRow kUnpackingNames[] = {
    {"unsigned", plain(F::unsigned_integer)},
    {"twoscomplement", plain(F::twos_complement)}, {"twos_complement", plain(F::twos_complement)},
    {"onescomplement", plain(F::ones_complement)}, {"ones_complement", plain(F::ones_complement)},
    {"signmagnitude", plain(F::sign_magnitude)}, {"sign_magnitude", plain(F::sign_magnitude)},
    {"bcd", plain(F::unpacked_bcd)},
    {"bcd_signed", plain(F::unpacked_bcd_signed)}, {"bcd-signed", plain(F::unpacked_bcd_signed)},
    {"packed_bcd", plain(F::packed_bcd)}, {"packed-bcd", plain(F::packed_bcd)},
    {"packed_bcd_signed", plain(F::packed_bcd_signed)}, {"packed-bcd-signed", plain(F::packed_bcd_signed)},
    {"utf8", text(T::utf8)}, {"utf-8", text(T::utf8)},
    {"utf16", text(T::utf16)}, {"utf-16", text(T::utf16)},
    {"utf32", text(T::utf32)}, {"utf-32", text(T::utf32)},
    {"utf16le", text(T::utf16le)}, {"utf-16le", text(T::utf16le)},
    {"utf16be", text(T::utf16be)}, {"utf-16be", text(T::utf16be)},
    {"utf32le", text(T::utf32le)}, {"utf-32le", text(T::utf32le)},
    {"utf32be", text(T::utf32be)}, {"utf-32be", text(T::utf32be)},
    {"us_ascii", text(T::us_ascii)}, {"us-ascii", text(T::us_ascii)},
    {"latin1", text(T::iso_8859_1)}, {"iso_8859_1", text(T::iso_8859_1)}, {"iso-8859-1", text(T::iso_8859_1)},
    {"windows_1252", text(T::windows_1252)}, {"windows-1252", text(T::windows_1252)},
    {"ieee754_f16", plain(F::ieee754_f16)}, {"ieee754-f16", plain(F::ieee754_f16)},
    {"ieee754_f32", plain(F::ieee754_f32)}, {"ieee754-f32", plain(F::ieee754_f32)},
    {"ieee754_f64", plain(F::ieee754_f64)}, {"ieee754-f64", plain(F::ieee754_f64)},
    {"ieee754_f128", plain(F::ieee754_f128)}, {"ieee754-f128", plain(F::ieee754_f128)},
    {"ieee754_1985_f32", reserved(R::ieee754_1985_f32)}, {"ieee754-1985-f32", reserved(R::ieee754_1985_f32)},
    {"ieee754_1985_f64", reserved(R::ieee754_1985_f64)}, {"ieee754-1985-f64", reserved(R::ieee754_1985_f64)},
    {"ieee754_1985_f80", reserved(R::ieee754_1985_f80)}, {"ieee754-1985-f80", reserved(R::ieee754_1985_f80)},
    {"mil_std_1750a_f32", reserved(R::mil_std_1750a_f32)}, {"mil-std-1750a-f32", reserved(R::mil_std_1750a_f32)},
    {"mil_std_1750a_f48", reserved(R::mil_std_1750a_f48)}, {"mil-std-1750a-f48", reserved(R::mil_std_1750a_f48)},
    {"ti_f32", reserved(R::ti_f32)}, {"ti-f32", reserved(R::ti_f32)},
    {"ti_f40", reserved(R::ti_f40)}, {"ti-f40", reserved(R::ti_f40)},
    {"dec_f32", reserved(R::dec_f32)}, {"dec-f32", reserved(R::dec_f32)},
    {"dec_f64", reserved(R::dec_f64)}, {"dec-f64", reserved(R::dec_f64)},
    {"ibm_f32", reserved(R::ibm_f32)}, {"ibm-f32", reserved(R::ibm_f32)},
    {"ibm_f64", reserved(R::ibm_f64)}, {"ibm-f64", reserved(R::ibm_f64)},
};
// clang-format on

static_assert(std::size(kPackingNames) == kEncodingNamesPerTable);
static_assert(std::size(kUnpackingNames) == kEncodingNamesPerTable);

struct FamilyMember {
    std::uint32_t bits;
    FieldEncoding encoding;
};

struct FamilyRow {
    Family family;
    const char* width_error;
    std::array<FamilyMember, 4> members;
    std::size_t member_count;
};

constexpr FamilyRow kFamilies[] = {
    {Family::ieee754, "Unsupported IEEE 754 bit width: {} (supported: 16, 32, 64, 128)",
     {{{16, plain(F::ieee754_f16)}, {32, plain(F::ieee754_f32)}, {64, plain(F::ieee754_f64)},
       {128, plain(F::ieee754_f128)}}},
     4},
    {Family::ieee754_1985, "Unsupported IEEE 754-1985 bit width: {} (supported: 32, 64, 80)",
     {{{32, reserved(R::ieee754_1985_f32)}, {64, reserved(R::ieee754_1985_f64)},
       {80, reserved(R::ieee754_1985_f80)}}},
     3},
    {Family::mil_std_1750a, "Unsupported MIL-STD-1750A bit width: {} (supported: 32, 48)",
     {{{32, reserved(R::mil_std_1750a_f32)}, {48, reserved(R::mil_std_1750a_f48)}}},
     2},
    {Family::ti, "Unsupported TI float bit width: {} (supported: 32, 40)",
     {{{32, reserved(R::ti_f32)}, {40, reserved(R::ti_f40)}}},
     2},
    {Family::dec, "Unsupported DEC float bit width: {} (supported: 32, 64)",
     {{{32, reserved(R::dec_f32)}, {64, reserved(R::dec_f64)}}},
     2},
    {Family::ibm, "Unsupported IBM float bit width: {} (supported: 32, 64)",
     {{{32, reserved(R::ibm_f32)}, {64, reserved(R::ibm_f64)}}},
     2},
};

// Each table is looked up through an open-addressing hash table built at
// compile time: a name costs one hash and usually one comparison.  The hash
// reads the first and the last eight bytes of the name as two words (the
// whole name when it is shorter), so it costs two multiplications whatever
// the length, instead of a multiplication per byte.
constexpr std::uint64_t little_endian_word(std::string_view bytes) {
    if (!std::is_constant_evaluated() && bytes.size() == 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes.data(), 8);
        return std::endian::native == std::endian::little ? word : byte_swap64(word);
    }
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        word |= std::uint64_t{static_cast<unsigned char>(bytes[i])} << (8 * i);
    }
    return word;
}

constexpr std::uint32_t name_hash(std::string_view name) {
    const std::size_t size = name.size();
    const std::uint64_t head = little_endian_word(name.substr(0, 8));
    const std::uint64_t tail = size >= 8 ? little_endian_word(name.substr(size - 8)) : 0;
    const std::uint64_t mixed =
        (head * 0x9E3779B97F4A7C15ull ^ tail * 0xC2B2AE3D27D4EB4Full ^ size) *
        0x9E3779B97F4A7C15ull;
    return static_cast<std::uint32_t>(mixed >> 56);
}

constexpr std::size_t kSlots = 256;  // a power of two, about four times the names

template <std::size_t N>
constexpr std::array<std::uint8_t, kSlots> make_index(const NameRow (&rows)[N]) {
    static_assert(N < 255);
    std::array<std::uint8_t, kSlots> slots{};
    for (auto& slot : slots) slot = 0xFF;
    for (std::size_t i = 0; i < N; ++i) {
        std::size_t slot = name_hash(rows[i].name) & (kSlots - 1);
        while (slots[slot] != 0xFF) slot = (slot + 1) & (kSlots - 1);
        slots[slot] = static_cast<std::uint8_t>(i);
    }
    return slots;
}

constexpr auto kPackingIndex = make_index(kPackingNames);
constexpr auto kUnpackingIndex = make_index(kUnpackingNames);

// The longest run of slots a name of the table is looked up through.
template <std::size_t N>
constexpr std::size_t longest_probe(const NameRow (&rows)[N],
                                    const std::array<std::uint8_t, kSlots>& index) {
    std::size_t longest = 0;
    for (std::size_t i = 0; i < N; ++i) {
        std::size_t probes = 1;
        for (std::size_t slot = name_hash(rows[i].name) & (kSlots - 1); index[slot] != i;
             slot = (slot + 1) & (kSlots - 1)) {
            ++probes;
        }
        longest = probes > longest ? probes : longest;
    }
    return longest;
}
static_assert(longest_probe(kPackingNames, kPackingIndex) <= 4);
static_assert(longest_probe(kUnpackingNames, kUnpackingIndex) <= 4);

template <std::size_t N>
const NameRow* find_name(const NameRow (&rows)[N], const std::array<std::uint8_t, kSlots>& index,
                         std::string_view name) {
    for (std::size_t slot = name_hash(name) & (kSlots - 1);; slot = (slot + 1) & (kSlots - 1)) {
        const std::uint8_t row = index[slot];
        if (row == 0xFF) return nullptr;
        if (rows[row].name == name) return &rows[row];
    }
}

[[gnu::cold]] CodecError unsupported_encoding(std::string_view as_given) {
    return make_error(ErrorKind::value_error, "Unsupported encoding type: {}", {as_given});
}

}  // namespace

const EncodingNameRow* find_encoding_name(NameDirection direction, std::string_view lowered) {
    return direction == NameDirection::packing ? find_name(kPackingNames, kPackingIndex, lowered)
                                               : find_name(kUnpackingNames, kUnpackingIndex, lowered);
}

const EncodingNameRow* encoding_name_row(NameDirection direction, std::size_t index) noexcept {
    return direction == NameDirection::packing ? &kPackingNames[index] : &kUnpackingNames[index];
}

std::string_view encoding_row_name(const EncodingNameRow* row) noexcept { return row->name; }

bool encoding_for_width(const EncodingNameRow* row, std::uint32_t bits, FieldEncoding& out) noexcept {
    if (!row) return false;
    if (row->family == Family::none) {
        out = row->encoding;
        return true;
    }
    for (const FamilyRow& family : kFamilies) {
        if (family.family != row->family) continue;
        for (std::size_t i = 0; i < family.member_count; ++i) {
            if (family.members[i].bits == bits) {
                out = family.members[i].encoding;
                return true;
            }
        }
        return false;
    }
    return false;
}

Result<FieldEncoding> select_encoding(const EncodingNameRow* row, std::string_view as_given,
                                      std::uint32_t bits) {
    FieldEncoding selected{FieldCodec::unsigned_integer};
    if (encoding_for_width(row, bits, selected)) return selected;
    if (row) {
        for (const FamilyRow& family : kFamilies) {
            if (family.family == row->family) {
                return make_error(ErrorKind::value_error, family.width_error, {bits});
            }
        }
    }
    return unsupported_encoding(as_given);
}

bool names_one_encoding(const EncodingNameRow* row, FieldEncoding& out) noexcept {
    if (!row || row->family != Family::none) return false;
    out = row->encoding;
    return true;
}

Result<ByteOrder> resolve_byte_order(std::string_view lowered, std::string_view as_given) {
    if (lowered == "big") return ByteOrder::big;
    if (lowered == "little") return ByteOrder::little;
    return make_error(ErrorKind::value_error, "Invalid byte_order '{}': must be 'big' or 'little'",
                      {as_given});
}

}  // namespace bitloom
