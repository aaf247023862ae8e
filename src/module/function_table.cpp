// The 62 module functions in registration order.  Each row names the
// function, its parameters and their conversions, and calls its routine with
// the converted values.  A row whose call is null is not registered.
#include "module/function_table.hpp"

#include <utility>

#include "decoder/integer.hpp"
#include "encoder/integer.hpp"
#include "module/binding.hpp"
#include "module/results.hpp"
#include "module/text_objects.hpp"

namespace bitloom {

namespace {

using C = Conversion;

constexpr FunctionRow kFunctions[] = {
    // Recipe functions.
    {"unpack_parameters", {"packet_bytes", "offset_bits", "recipe"}, 3, 3,
     {C::bytes, C::uint64, C::sequence}, nullptr},
    {"pack_parameters", {"recipe"}, 1, 1, {C::sequence}, nullptr},

    // Integer decoders.
    {"decode_ones_complement", {"value", "bits"}, 2, 2, {C::uint64, C::uint32},
     [](Arguments& a) { return to_python(decode_ones_complement(a[0].uint64, a[1].uint32)); }},
    {"decode_twos_complement", {"value", "bits"}, 2, 2, {C::uint64, C::uint32},
     [](Arguments& a) { return to_python(decode_twos_complement(a[0].uint64, a[1].uint32)); }},
    {"decode_sign_magnitude", {"value", "bits"}, 2, 2, {C::uint64, C::uint32},
     [](Arguments& a) { return to_python(decode_sign_magnitude(a[0].uint64, a[1].uint32)); }},

    // BCD decoders.
    {"decode_unpacked_bcd", {"value", "bits", "signed"}, 3, 2, {C::uint64, C::uint32, C::boolean},
     nullptr},
    {"decode_packed_bcd", {"value", "bits", "signed"}, 3, 2, {C::uint64, C::uint32, C::boolean},
     nullptr},

    // IEEE 754 decoders.
    {"decode_ieee754_f16", {"value"}, 1, 1, {C::uint64}, nullptr},
    {"decode_ieee754_f32", {"value"}, 1, 1, {C::uint64}, nullptr},
    {"decode_ieee754_f64", {"value"}, 1, 1, {C::uint64}, nullptr},
    {"decode_ieee754_f128", {"value"}, 1, 1, {C::uint128}, nullptr},

    // Reserved float format decoders.
    {"decode_ieee754_1985_f32", {"_value"}, 1, 1, {C::uint64}, nullptr},
    {"decode_ieee754_1985_f64", {"_value"}, 1, 1, {C::uint64}, nullptr},
    {"decode_ieee754_1985_f80", {"_value"}, 1, 1, {C::uint64}, nullptr},
    {"decode_mil_std_1750a_f32", {"_value"}, 1, 1, {C::uint64}, nullptr},
    {"decode_mil_std_1750a_f48", {"_value"}, 1, 1, {C::uint64}, nullptr},
    {"decode_dec_f32", {"_value"}, 1, 1, {C::uint64}, nullptr},
    {"decode_dec_f64", {"_value"}, 1, 1, {C::uint64}, nullptr},
    {"decode_ibm_f32", {"_value"}, 1, 1, {C::uint64}, nullptr},
    {"decode_ibm_f64", {"_value"}, 1, 1, {C::uint64}, nullptr},
    {"decode_ti_f32", {"_value"}, 1, 1, {C::uint64}, nullptr},
    {"decode_ti_f40", {"_value"}, 1, 1, {C::uint64}, nullptr},

    // Single-byte text decoders.
    {"decode_us_ascii", {"bytes"}, 1, 1, {C::bytes},
     [](Arguments& a) { return decode_text_to_str(TextCodec::us_ascii, a[0].bytes); }},
    {"decode_iso_8859_1", {"bytes"}, 1, 1, {C::bytes},
     [](Arguments& a) { return decode_text_to_str(TextCodec::iso_8859_1, a[0].bytes); }},
    {"decode_windows_1252", {"bytes"}, 1, 1, {C::bytes},
     [](Arguments& a) { return decode_text_to_str(TextCodec::windows_1252, a[0].bytes); }},

    // Unicode decoders.
    {"decode_utf8", {"bytes"}, 1, 1, {C::bytes},
     [](Arguments& a) { return decode_text_to_str(TextCodec::utf8, a[0].bytes); }},
    {"decode_utf16", {"bytes"}, 1, 1, {C::bytes},
     [](Arguments& a) { return decode_text_to_str(TextCodec::utf16, a[0].bytes); }},
    {"decode_utf16le", {"bytes"}, 1, 1, {C::bytes},
     [](Arguments& a) { return decode_text_to_str(TextCodec::utf16le, a[0].bytes); }},
    {"decode_utf16be", {"bytes"}, 1, 1, {C::bytes},
     [](Arguments& a) { return decode_text_to_str(TextCodec::utf16be, a[0].bytes); }},
    {"decode_utf32", {"bytes"}, 1, 1, {C::bytes},
     [](Arguments& a) { return decode_text_to_str(TextCodec::utf32, a[0].bytes); }},
    {"decode_utf32le", {"bytes"}, 1, 1, {C::bytes},
     [](Arguments& a) { return decode_text_to_str(TextCodec::utf32le, a[0].bytes); }},
    {"decode_utf32be", {"bytes"}, 1, 1, {C::bytes},
     [](Arguments& a) { return decode_text_to_str(TextCodec::utf32be, a[0].bytes); }},

    // Integer encoders.
    {"encode_ones_complement", {"value", "bits"}, 2, 2, {C::int64, C::uint32},
     [](Arguments& a) { return to_python(encode_ones_complement(a[0].int64, a[1].uint32)); }},
    {"encode_twos_complement", {"value", "bits"}, 2, 2, {C::int64, C::uint32},
     [](Arguments& a) { return to_python(encode_twos_complement(a[0].int64, a[1].uint32)); }},
    {"encode_sign_magnitude", {"value", "bits"}, 2, 2, {C::int64, C::uint32},
     [](Arguments& a) { return to_python(encode_sign_magnitude(a[0].int64, a[1].uint32)); }},

    // BCD encoders.
    {"encode_unpacked_bcd", {"value", "bits", "signed"}, 3, 2, {C::int64, C::uint32, C::boolean},
     nullptr},
    {"encode_packed_bcd", {"value", "bits", "signed"}, 3, 2, {C::int64, C::uint32, C::boolean},
     nullptr},

    // IEEE 754 encoders.
    {"encode_ieee754_f16", {"value"}, 1, 1, {C::float32}, nullptr},
    {"encode_ieee754_f32", {"value"}, 1, 1, {C::float32}, nullptr},
    {"encode_ieee754_f64", {"value"}, 1, 1, {C::float64}, nullptr},
    {"encode_ieee754_f128", {"_value"}, 1, 1, {C::float64}, nullptr},

    // Reserved float format encoders.
    {"encode_ieee754_1985_f32", {"_value"}, 1, 1, {C::float32}, nullptr},
    {"encode_ieee754_1985_f64", {"_value"}, 1, 1, {C::float64}, nullptr},
    {"encode_ieee754_1985_f80", {"_value"}, 1, 1, {C::float64}, nullptr},
    {"encode_mil_std_1750a_f32", {"_value"}, 1, 1, {C::float32}, nullptr},
    {"encode_mil_std_1750a_f48", {"_value"}, 1, 1, {C::float64}, nullptr},
    {"encode_dec_f32", {"_value"}, 1, 1, {C::float32}, nullptr},
    {"encode_dec_f64", {"_value"}, 1, 1, {C::float64}, nullptr},
    {"encode_ibm_f32", {"_value"}, 1, 1, {C::float32}, nullptr},
    {"encode_ibm_f64", {"_value"}, 1, 1, {C::float64}, nullptr},
    {"encode_ti_f32", {"_value"}, 1, 1, {C::float32}, nullptr},
    {"encode_ti_f40", {"_value"}, 1, 1, {C::float64}, nullptr},

    // Single-byte text encoders.
    {"encode_us_ascii", {"text"}, 1, 1, {C::str_object},
     [](Arguments& a) { return encode_text_to_bytes(TextCodec::us_ascii, a[0].object); }},
    {"encode_iso_8859_1", {"text"}, 1, 1, {C::str_object},
     [](Arguments& a) { return encode_text_to_bytes(TextCodec::iso_8859_1, a[0].object); }},
    {"encode_windows_1252", {"text"}, 1, 1, {C::str_object},
     [](Arguments& a) { return encode_text_to_bytes(TextCodec::windows_1252, a[0].object); }},

    // Unicode encoders.
    {"encode_utf8", {"text"}, 1, 1, {C::str_object},
     [](Arguments& a) { return encode_text_to_bytes(TextCodec::utf8, a[0].object); }},
    {"encode_utf16", {"text"}, 1, 1, {C::str_object},
     [](Arguments& a) { return encode_text_to_bytes(TextCodec::utf16, a[0].object); }},
    {"encode_utf16le", {"text"}, 1, 1, {C::str_object},
     [](Arguments& a) { return encode_text_to_bytes(TextCodec::utf16le, a[0].object); }},
    {"encode_utf16be", {"text"}, 1, 1, {C::str_object},
     [](Arguments& a) { return encode_text_to_bytes(TextCodec::utf16be, a[0].object); }},
    {"encode_utf32", {"text"}, 1, 1, {C::str_object},
     [](Arguments& a) { return encode_text_to_bytes(TextCodec::utf32, a[0].object); }},
    {"encode_utf32le", {"text"}, 1, 1, {C::str_object},
     [](Arguments& a) { return encode_text_to_bytes(TextCodec::utf32le, a[0].object); }},
    {"encode_utf32be", {"text"}, 1, 1, {C::str_object},
     [](Arguments& a) { return encode_text_to_bytes(TextCodec::utf32be, a[0].object); }},
};

constexpr std::size_t kFunctionCount = std::size(kFunctions);
static_assert(kFunctionCount == 62);

PyObject* call_function(const FunctionRow& row, PyObject* const* args, Py_ssize_t positional,
                        PyObject* keyword_names) {
    Arguments arguments;
    if (!keyword_names && positional == row.parameter_count) {
        // Fast path: every parameter given by position.
        for (std::size_t i = 0; i < row.parameter_count; ++i) {
            if (!convert_argument(row.conversions[i], row.parameters[i], args[i], arguments[i])) {
                return nullptr;
            }
        }
    } else {
        PyObject* bound[kMaxParameters];
        if (!bind_arguments(row, args, positional, keyword_names, bound)) return nullptr;
        for (std::size_t i = 0; i < row.parameter_count; ++i) {
            if (!bound[i]) {
                // An absent optional parameter (`signed`) is false.
                arguments[i].boolean = false;
                continue;
            }
            if (!convert_argument(row.conversions[i], row.parameters[i], bound[i], arguments[i])) {
                return nullptr;
            }
        }
    }
    return row.call(arguments);
}

template <std::size_t Index>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* keyword_names) {
    return guard([&] {
        return call_function(kFunctions[Index], args, PyVectorcall_NARGS(nargsf), keyword_names);
    });
}

template <std::size_t... Index>
constexpr std::array<PyCFunctionFastWithKeywords, sizeof...(Index)> make_entries(
    std::index_sequence<Index...>) {
    return {&entry<Index>...};
}

constexpr auto kEntries = make_entries(std::make_index_sequence<kFunctionCount>());

}  // namespace

std::span<const FunctionRow> function_rows() noexcept { return kFunctions; }

PyCFunctionFastWithKeywords function_entry(std::size_t index) noexcept { return kEntries[index]; }

}  // namespace bitloom
