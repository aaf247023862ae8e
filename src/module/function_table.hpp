// The table of module functions: name, parameters, the conversion of each
// parameter and the routine call.  Registration, docstrings, argument binding
// and conversion are all driven by it.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "python/conversions.hpp"
#include "python/python_ref.hpp"

namespace bitloom {

enum class Conversion : std::uint8_t {
    int64,
    uint64,
    uint32,
    unsigned128,
    float64,
    float32,
    boolean,
    bytes,
    // A str taken as the object itself, for the text encoders, which read its
    // code points in place; its UTF-8 form is not made (a str with a lone
    // surrogate is refused by the encoder, with the same exception).
    str_object,
    sequence,
};

// One converted argument; the field that holds it is named by its conversion,
// and only that field is ever written or read.  Nothing is initialised on
// construction: an entry's arguments are stack space that its conversions
// fill, and zeroing three of them first was a measurable part of a call.
struct Argument {
    Argument() noexcept {}
    PyObject* object;  // the bound object, borrowed from the caller (str_object: a str)
    union {
        std::int64_t int64;
        std::uint64_t uint64;
        std::uint32_t uint32;
        double float64;
        float float32;
        bool boolean;
        uint128 u128;
        std::span<const std::uint8_t> bytes;  // bytes: read in place
    };
    // sequence: the object, checked; the recipe functions take its items
    // (SequenceItems) as the first step of their call.
};

// The number of module functions: the table has exactly this many rows (a
// static check beside it), and everything sized by it follows.
inline constexpr std::size_t kFunctionCount = 62;

inline constexpr std::size_t kMaxParameters = 3;
using Arguments = std::array<Argument, kMaxParameters>;

struct FunctionRow {
    const char* name;
    std::array<const char*, kMaxParameters> parameters;
    std::uint8_t parameter_count;
    // Parameters at and after this index are optional and default to false
    // (only `signed` of the BCD functions is).
    std::uint8_t required_count;
    std::array<Conversion, kMaxParameters> conversions;
    PyObject* (*call)(Arguments& arguments);
    // Optional, for routines whose whole work is a few nanoseconds around
    // their result int: the result's pattern when the routine accepts its
    // arguments, or false for any case it refuses.  The entry tries it first
    // on positional arguments that take their conversions' in-line paths,
    // with nothing around it that keeps the result's construction from being
    // the entry's last call; every other call goes through `call`.
    bool (*accepted)(const Arguments& arguments, std::uint64_t& pattern) noexcept = nullptr;
};

std::span<const FunctionRow, kFunctionCount> function_rows() noexcept;

// The fast-call entry of row `index`.
PyCFunctionFastWithKeywords function_entry(std::size_t index) noexcept;

}  // namespace bitloom
