// Conversions of Python objects into the plain values the routines take.
// Each returns false with a Python exception set when the object cannot be
// converted; the messages are the interpreter's own or the fixed texts below.
// Module functions add the argument name to a plain TypeError
// (wrap_argument_error); the recipe engine uses the same conversions bare.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "core/bits.hpp"
#include "python/python_ref.hpp"

namespace bitloom {

// The integer conversions read an int in the interpreter's compact (one
// digit) form in place, which is what nearly every call passes; everything
// else, including every object that fails, goes through the general path so
// that the exceptions are the interpreter's.
bool convert_int64_general(PyObject* object, std::int64_t& out);
bool convert_uint64_general(PyObject* object, std::uint64_t& out);
bool convert_uint32_general(PyObject* object, std::uint32_t& out);

[[gnu::always_inline]] inline bool compact_int(PyObject* object, Py_ssize_t& value) {
    // An exact int is told by its type pointer alone, without loading the
    // type's flags.
    if (!PyLong_CheckExact(object) && !PyLong_Check(object)) return false;
    auto* number = reinterpret_cast<PyLongObject*>(object);
    if (!PyUnstable_Long_IsCompact(number)) return false;
    value = PyUnstable_Long_CompactValue(number);
    return true;
}

// The general conversion writes into a variable of its own, copied to `out`
// on success: `out` never has its address passed out of line, so a caller's
// converted values can stay in registers on the in-line paths.
template <class T>
[[gnu::always_inline]] inline bool general_into(bool (*general)(PyObject*, T&), PyObject* object, T& out) {
    T value{};
    if (!general(object, value)) return false;
    out = value;
    return true;
}

// An exact int of more than one digit that fits in 64 bits.  Values from
// 2^30 to 2^64 are common arguments (16-digit BCD, 64-bit patterns); for an
// exact int the interpreter's overflow-reporting conversion neither raises
// nor runs Python code, so it is one call where the general conversion,
// with its checks for every kind of object, takes three times as long.
// Anything it cannot hold goes to the general conversion, which raises.
[[gnu::always_inline]] inline bool exact_wide_int(PyObject* object, std::int64_t& value) {
    if (!PyLong_CheckExact(object)) return false;
    int overflow = 0;
    const long long result = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (overflow != 0) return false;
    value = result;
    return true;
}

// The in-line paths of the three integer conversions: the value of an int
// read from its digits, or false (nothing raised) for anything else, which
// only the general conversion may judge.
[[gnu::always_inline]] inline bool int64_in_line(PyObject* object, std::int64_t& out) {
    Py_ssize_t value = 0;
    if (compact_int(object, value)) {
        out = value;
        return true;
    }
    return exact_wide_int(object, out);
}

[[gnu::always_inline]] inline bool uint64_in_line(PyObject* object, std::uint64_t& out) {
    std::int64_t value = 0;
    if (!int64_in_line(object, value) || value < 0) return false;
    out = static_cast<std::uint64_t>(value);
    return true;
}

[[gnu::always_inline]] inline bool uint32_in_line(PyObject* object, std::uint32_t& out) {
    Py_ssize_t value = 0;
    if (!compact_int(object, value) || value < 0 || value > 0xFFFFFFFF) return false;
    out = static_cast<std::uint32_t>(value);
    return true;
}

[[gnu::always_inline]] inline bool convert_int64(PyObject* object, std::int64_t& out) {
    return int64_in_line(object, out) || general_into(convert_int64_general, object, out);
}

[[gnu::always_inline]] inline bool convert_uint64(PyObject* object, std::uint64_t& out) {
    return uint64_in_line(object, out) || general_into(convert_uint64_general, object, out);
}

[[gnu::always_inline]] inline bool convert_uint32(PyObject* object, std::uint32_t& out) {
    return uint32_in_line(object, out) || general_into(convert_uint32_general, object, out);
}
bool convert_uint128(PyObject* object, uint128& out);
bool convert_float64(PyObject* object, double& out);
// Rounded to binary32, ties to even; beyond the binary32 range an infinity.
bool convert_float32(PyObject* object, float& out);
bool convert_bool(PyObject* object, bool& out);
// Read in place: the span lives as long as the bytes object.
bool convert_bytes(PyObject* object, std::span<const std::uint8_t>& out);
// The UTF-8 form of a str, cached by the str object itself.
bool convert_str(PyObject* object, std::string_view& out);
// A list or tuple holding the sequence's items (new reference), or null.
PyRef convert_sequence(PyObject* object);

// The sequence conversion of an argument: the items, in iteration order, as
// the call's own references, taken once.  Whatever the caller, or a hook run
// during the call, does to its list afterwards changes nothing here.  Up to
// kInline items are held without an allocation.
class SequenceItems {
  public:
    SequenceItems() noexcept = default;
    SequenceItems(const SequenceItems&) = delete;
    SequenceItems& operator=(const SequenceItems&) = delete;
    ~SequenceItems() { release(); }

    // The conversion itself: false with the conversion's exception raised
    // (a str or an object that is not a sequence is refused; an error raised
    // while iterating is passed on).
    bool take(PyObject* sequence);

    std::span<PyObject* const> items() const noexcept { return {data_, size_}; }

  private:
    static constexpr std::size_t kInline = 16;
    void release() noexcept;
    bool copy_references(PyObject* list_or_tuple);

    PyObject** data_ = inline_;
    std::size_t size_ = 0;
    std::unique_ptr<PyObject*[]> heap_;
    PyObject* inline_[kInline];
};

// The checks of the sequence conversion alone (a str, or not a sequence):
// false with the TypeError raised.
bool check_sequence(PyObject* object);

// The byte-list conversion of recipe values: bytes and bytearray are viewed in
// place, any other sequence is converted item by item into `storage`.
bool convert_byte_list(PyObject* object, std::vector<std::uint8_t>& storage,
                       std::span<const std::uint8_t>& out);

// Raises TypeError "'{}' object cannot be cast as '{}'".
void raise_cannot_cast(PyObject* object, const char* target);

// Adds "argument '{}': " to the pending exception when it is exactly a
// TypeError; any other exception is left as it is.
void wrap_argument_error(const char* parameter);

}  // namespace bitloom
