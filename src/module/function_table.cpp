// The 62 module functions in registration order.  Each row names the
// function, its parameters and their conversions, and calls its routine with
// the converted values.
#include "module/function_table.hpp"

#include <bit>
#include <utility>

#include "core/reserved_formats.hpp"
#include "codecs/decoder/bcd.hpp"
#include "codecs/decoder/ieee754.hpp"
#include "codecs/decoder/integer.hpp"
#include "codecs/decoder/reserved.hpp"
#include "codecs/encoder/bcd.hpp"
#include "codecs/encoder/ieee754.hpp"
#include "codecs/encoder/integer.hpp"
#include "codecs/encoder/reserved.hpp"
#include "module/binding.hpp"
#include "module/recipe_functions.hpp"
#include "python/results.hpp"
#include "python/stack_room.hpp"
#include "python/text_objects.hpp"

namespace bitloom {

namespace {

using C = Conversion;
using RF = ReservedFormat;

// The 22 reserved-format functions: the argument has been converted (and
// may have failed) by the time these run; all that is left is the refusal.
template <ReservedFormat Format>
PyObject* refuse_decoding_call(Arguments&) {
    return raise_codec_error(refuse_decoding(Format));
}

template <ReservedFormat Format>
PyObject* refuse_encoding_call(Arguments&) {
    return raise_codec_error(refuse_encoding(Format));
}

constexpr FunctionRow kFunctions[] = {
    // Recipe functions.
    {"unpack_parameters", {"packet_bytes", "offset_bits", "recipe"}, 3, 3,
     {C::bytes, C::uint64, C::sequence}, unpack_parameters},
    {"pack_parameters", {"recipe"}, 1, 1, {C::sequence}, pack_parameters},

    // Integer decoders.
    {"decode_ones_complement", {"value", "bits"}, 2, 2, {C::uint64, C::uint32},
     [](Arguments& a) { return to_python(decode_ones_complement(a[0].uint64, a[1].uint32)); }},
    {"decode_twos_complement", {"value", "bits"}, 2, 2, {C::uint64, C::uint32},
     [](Arguments& a) { return to_python(decode_twos_complement(a[0].uint64, a[1].uint32)); }},
    {"decode_sign_magnitude", {"value", "bits"}, 2, 2, {C::uint64, C::uint32},
     [](Arguments& a) { return to_python(decode_sign_magnitude(a[0].uint64, a[1].uint32)); }},

    // BCD decoders.
    {"decode_unpacked_bcd", {"value", "bits", "signed"}, 3, 2, {C::uint64, C::uint32, C::boolean},
     [](Arguments& a) {
         return to_python(decode_unpacked_bcd(a[0].uint64, a[1].uint32, a[2].boolean));
     }},
    {"decode_packed_bcd", {"value", "bits", "signed"}, 3, 2, {C::uint64, C::uint32, C::boolean},
     [](Arguments& a) {
         return to_python(decode_packed_bcd(a[0].uint64, a[1].uint32, a[2].boolean));
     }},

    // IEEE 754 decoders.
    {"decode_ieee754_f16", {"value"}, 1, 1, {C::uint64},
     [](Arguments& a) { return to_python(double{decode_ieee754_f16(a[0].uint64)}); }},
    {"decode_ieee754_f32", {"value"}, 1, 1, {C::uint64},
     [](Arguments& a) {
         // Bits 32 and up are not part of the field.
         const auto bits = static_cast<std::uint32_t>(a[0].uint64 & 0xFFFFFFFFu);
         return to_python(double{std::bit_cast<float>(bits)});
     }},
    {"decode_ieee754_f64", {"value"}, 1, 1, {C::uint64},
     [](Arguments& a) { return to_python(std::bit_cast<double>(a[0].uint64)); }},
    {"decode_ieee754_f128", {"value"}, 1, 1, {C::unsigned128},
     [](Arguments& a) { return to_python(decode_ieee754_f128(a[0].u128)); }},

    // Reserved float format decoders.
    {"decode_ieee754_1985_f32", {"_value"}, 1, 1, {C::uint64},
     refuse_decoding_call<RF::ieee754_1985_f32>},
    {"decode_ieee754_1985_f64", {"_value"}, 1, 1, {C::uint64},
     refuse_decoding_call<RF::ieee754_1985_f64>},
    {"decode_ieee754_1985_f80", {"_value"}, 1, 1, {C::uint64},
     refuse_decoding_call<RF::ieee754_1985_f80>},
    {"decode_mil_std_1750a_f32", {"_value"}, 1, 1, {C::uint64},
     refuse_decoding_call<RF::mil_std_1750a_f32>},
    {"decode_mil_std_1750a_f48", {"_value"}, 1, 1, {C::uint64},
     refuse_decoding_call<RF::mil_std_1750a_f48>},
    {"decode_dec_f32", {"_value"}, 1, 1, {C::uint64}, refuse_decoding_call<RF::dec_f32>},
    {"decode_dec_f64", {"_value"}, 1, 1, {C::uint64}, refuse_decoding_call<RF::dec_f64>},
    {"decode_ibm_f32", {"_value"}, 1, 1, {C::uint64}, refuse_decoding_call<RF::ibm_f32>},
    {"decode_ibm_f64", {"_value"}, 1, 1, {C::uint64}, refuse_decoding_call<RF::ibm_f64>},
    {"decode_ti_f32", {"_value"}, 1, 1, {C::uint64}, refuse_decoding_call<RF::ti_f32>},
    {"decode_ti_f40", {"_value"}, 1, 1, {C::uint64}, refuse_decoding_call<RF::ti_f40>},

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
     [](Arguments& a) {
         return to_python(encode_unpacked_bcd(a[0].int64, a[1].uint32, a[2].boolean));
     }},
    {"encode_packed_bcd", {"value", "bits", "signed"}, 3, 2, {C::int64, C::uint32, C::boolean},
     [](Arguments& a) {
         return to_python(encode_packed_bcd(a[0].int64, a[1].uint32, a[2].boolean));
     },
     [](const Arguments& a, std::uint64_t& pattern) noexcept {
         return packed_bcd_pattern(a[0].int64, a[1].uint32, a[2].boolean, pattern);
     }},

    // IEEE 754 encoders.
    {"encode_ieee754_f16", {"value"}, 1, 1, {C::float32},
     [](Arguments& a) { return to_python(std::uint64_t{encode_ieee754_f16(a[0].float32)}); }},
    {"encode_ieee754_f32", {"value"}, 1, 1, {C::float32},
     [](Arguments& a) {
         return to_python(std::uint64_t{std::bit_cast<std::uint32_t>(a[0].float32)});
     }},
    {"encode_ieee754_f64", {"value"}, 1, 1, {C::float64},
     [](Arguments& a) { return to_python(std::bit_cast<std::uint64_t>(a[0].float64)); }},
    {"encode_ieee754_f128", {"_value"}, 1, 1, {C::float64},
     [](Arguments& a) { return to_python(encode_ieee754_f128(a[0].float64)); }},

    // Reserved float format encoders.
    {"encode_ieee754_1985_f32", {"_value"}, 1, 1, {C::float32},
     refuse_encoding_call<RF::ieee754_1985_f32>},
    {"encode_ieee754_1985_f64", {"_value"}, 1, 1, {C::float64},
     refuse_encoding_call<RF::ieee754_1985_f64>},
    {"encode_ieee754_1985_f80", {"_value"}, 1, 1, {C::float64},
     refuse_encoding_call<RF::ieee754_1985_f80>},
    {"encode_mil_std_1750a_f32", {"_value"}, 1, 1, {C::float32},
     refuse_encoding_call<RF::mil_std_1750a_f32>},
    {"encode_mil_std_1750a_f48", {"_value"}, 1, 1, {C::float64},
     refuse_encoding_call<RF::mil_std_1750a_f48>},
    {"encode_dec_f32", {"_value"}, 1, 1, {C::float32}, refuse_encoding_call<RF::dec_f32>},
    {"encode_dec_f64", {"_value"}, 1, 1, {C::float64}, refuse_encoding_call<RF::dec_f64>},
    {"encode_ibm_f32", {"_value"}, 1, 1, {C::float32}, refuse_encoding_call<RF::ibm_f32>},
    {"encode_ibm_f64", {"_value"}, 1, 1, {C::float64}, refuse_encoding_call<RF::ibm_f64>},
    {"encode_ti_f32", {"_value"}, 1, 1, {C::float32}, refuse_encoding_call<RF::ti_f32>},
    {"encode_ti_f40", {"_value"}, 1, 1, {C::float64}, refuse_encoding_call<RF::ti_f40>},

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

static_assert(std::size(kFunctions) == kFunctionCount);

// The conversion of a reserved encoder's argument follows from the format's
// width (32-bit formats take a single-precision float); check that the rows
// above agree with the format table.
template <ReservedFormat Format>
constexpr bool encoder_row_converts_by_width() {
    for (const FunctionRow& row : kFunctions) {
        if (row.call == &refuse_encoding_call<Format>) {
            return row.conversions[0] == (takes_float32(Format) ? C::float32 : C::float64);
        }
    }
    return false;
}

template <std::size_t... Index>
constexpr bool reserved_encoders_convert_by_width(std::index_sequence<Index...>) {
    return (encoder_row_converts_by_width<static_cast<ReservedFormat>(Index)>() && ...);
}
static_assert(reserved_encoders_convert_by_width(
    std::make_index_sequence<kReservedFormats.size()>()));

// The objects of the first `positional` parameters are `args[0 ..
// positional)`; an optional one may also be null (absent, when bound by
// name).  The conversions of row `Index` are known here, so each one is the inlined
// conversion of its type, one parameter after the other (a fold over a
// lambda per parameter let the compiler merge the lambdas of rows with the
// same conversions and call them out of line).  InLine takes only the
// conversions' in-line paths: false, with nothing raised, when an argument
// is not on one.
template <std::size_t Index, bool InLine, std::size_t Parameter = 0>
[[gnu::always_inline]] inline bool convert_positional(PyObject* const* args, Py_ssize_t positional,
                                                      Arguments& arguments) {
    constexpr const FunctionRow& row = kFunctions[Index];
    if constexpr (Parameter == row.parameter_count) {
        return true;
    } else {
        constexpr Conversion conversion = row.conversions[Parameter];
        if (static_cast<Py_ssize_t>(Parameter) >= positional ||
            (Parameter >= row.required_count && !args[Parameter])) {
            arguments[Parameter].boolean = false;  // an absent `signed`
        } else if constexpr (InLine) {
            if (!convert_in_line<conversion>(args[Parameter], arguments[Parameter])) return false;
        } else if (!convert_argument<conversion>(row.parameters[Parameter], args[Parameter],
                                                 arguments[Parameter])) {
            return false;
        }
        return convert_positional<Index, InLine, Parameter + 1>(args, positional, arguments);
    }
}

// Arguments by position are converted where they lie.  Keywords, or a count
// of positional arguments that does not fit, are bound by name first, with
// the messages a Python function of the same signature would give.  Either
// way one inlined conversion per parameter fills `arguments`, whose address
// never leaves the function, so the compiler keeps the converted values in
// registers from conversion to routine.
template <std::size_t Index>
PyObject* call_function(PyObject* const* args, Py_ssize_t positional, PyObject* keyword_names) {
    constexpr const FunctionRow& row = kFunctions[Index];
    PyObject* bound[kMaxParameters];
    if (keyword_names || positional < row.required_count || positional > row.parameter_count) {
        if (!bind_arguments(row, args, positional, keyword_names, bound)) return nullptr;
        args = bound;
        positional = row.parameter_count;
    }
    Arguments arguments;
    if (!convert_positional<Index, false>(args, positional, arguments)) return nullptr;
    return row.call(arguments);
}

template <std::size_t Index>
PyObject* checked_entry(PyObject* const* args, Py_ssize_t nargsf, PyObject* keyword_names) {
    return guarded_entry(kFunctions[Index].name, [&] {
        return call_function<Index>(args, PyVectorcall_NARGS(nargsf), keyword_names);
    });
}

// Kept out of line, so that the entry that tries an `accepted` case first
// saves no registers for it.
template <std::size_t Index>
[[gnu::noinline]] PyObject* checked_entry_apart(PyObject* const* args, Py_ssize_t nargsf,
                                                PyObject* keyword_names) {
    return checked_entry<Index>(args, nargsf, keyword_names);
}

// A row with an `accepted` case tries it first.  That path calls nothing but
// the result's constructor and, for any other call, the checked entry, both
// as its last act: no C++ exception can pass through it, so it needs no
// guard, and without one it keeps no frame of its own.
template <std::size_t Index>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* keyword_names) {
    constexpr const FunctionRow& row = kFunctions[Index];
    if constexpr (row.accepted != nullptr) {
        const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
        Arguments arguments;
        std::uint64_t pattern = 0;
        if (!keyword_names && positional >= row.required_count && positional <= row.parameter_count &&
            convert_positional<Index, true>(args, positional, arguments) &&
            row.accepted(arguments, pattern)) {
            return to_python(pattern);
        }
        return checked_entry_apart<Index>(args, nargsf, keyword_names);
    } else {
        return checked_entry<Index>(args, nargsf, keyword_names);
    }
}

template <std::size_t... Index>
constexpr std::array<PyCFunctionFastWithKeywords, sizeof...(Index)> make_entries(
    std::index_sequence<Index...>) {
    return {&entry<Index>...};
}

constexpr auto kEntries = make_entries(std::make_index_sequence<kFunctionCount>());

}  // namespace

std::span<const FunctionRow, kFunctionCount> function_rows() noexcept { return kFunctions; }

PyCFunctionFastWithKeywords function_entry(std::size_t index) noexcept { return kEntries[index]; }

}  // namespace bitloom
