// Conversion of routine results into Python objects, and of codec errors into
// the exception they describe.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "core/codec_result.hpp"
#include "python/errors.hpp"

namespace bitloom {

// A new empty dict with room for `count` entries: filling it never resizes
// its table, so the result is built without a discarded copy.
inline PyObject* new_dict_with_room(std::size_t count) {
    return _PyDict_NewPresized(static_cast<Py_ssize_t>(count));
}

// A new int of `value`.  Where long holds 64 bits, PyLong_FromLong is the
// constructor with the shortest path to a one-digit int (PyLong_FromLongLong
// takes a quarter more instructions there).
inline PyObject* int_from_int64(std::int64_t value) {
    if constexpr (sizeof(long) == sizeof(std::int64_t)) {
        return PyLong_FromLong(static_cast<long>(value));
    } else {
        return PyLong_FromLongLong(value);
    }
}

// An int of two or three 30-bit digits (a magnitude from 2^30 to 2^64; a
// smaller one would leave a zero top digit), made as the interpreter's own
// arithmetic makes its results: an int of that many digits from
// _PyLong_New, its digits then written in place.  The interpreter's
// constructors count the digits in a loop and write them in another, which
// for a 64-bit pattern takes most of the call.  Only for the int layout of
// CPython 3.13; elsewhere the public constructor.
inline PyObject* int_from_wide_magnitude(std::uint64_t magnitude) {
#if PYLONG_BITS_IN_DIGIT == 30 && PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
    constexpr std::uint64_t kDigitMask = (std::uint64_t{1} << 30) - 1;
    const bool three_digits = magnitude >> 60 != 0;
    PyLongObject* number = _PyLong_New(three_digits ? 3 : 2);
    if (!number) return nullptr;
    digit* digits = number->long_value.ob_digit;
    digits[0] = static_cast<digit>(magnitude & kDigitMask);
    digits[1] = static_cast<digit>(magnitude >> 30 & kDigitMask);
    if (three_digits) digits[2] = static_cast<digit>(magnitude >> 60);
    return reinterpret_cast<PyObject*>(number);
#else
    return PyLong_FromUnsignedLongLong(magnitude);
#endif
}

// Bit patterns from encoders: never negative.  Patterns of one digit go
// through the signed constructor, which builds them directly.
inline PyObject* to_python(std::uint64_t pattern) {
    if (pattern < std::uint64_t{1} << 30) return int_from_int64(static_cast<std::int64_t>(pattern));
    return int_from_wide_magnitude(pattern);
}
// Values from decoders.
inline PyObject* to_python(std::int64_t value) { return int_from_int64(value); }
inline PyObject* to_python(double value) { return PyFloat_FromDouble(value); }

template <class T>
PyObject* to_python(const Result<T>& result) {
    if (!result.ok()) return raise_codec_error(result.error());
    return to_python(result.value());
}

}  // namespace bitloom
