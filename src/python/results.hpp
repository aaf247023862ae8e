// Conversion of routine results into Python objects, and of codec errors into
// the exception they describe.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "core/codec_result.hpp"
#include "python/errors.hpp"

namespace bitloom {

// A new int of `value`.  Where long holds 64 bits, PyLong_FromLong is the
// constructor with the shortest path to a one-digit int (PyLong_FromLongLong
// takes a quarter more instructions there).
inline PyObject* int_from_int64(std::int64_t value) {
    if constexpr (sizeof(long) == sizeof(std::int64_t)) {
        return PyLong_FromLong(static_cast<long>(value));
    } else {
#if PY_VERSION_HEX >= 0x030E0000
        return PyLong_FromInt64(value);
#else
        return PyLong_FromLongLong(value);
#endif
    }
}

// An int of a magnitude from 2^30 to 2^64, through the interpreter's
// fixed-width constructor where it has one (3.14 and later).
inline PyObject* int_from_wide_magnitude(std::uint64_t magnitude) {
#if PY_VERSION_HEX >= 0x030E0000
    return PyLong_FromUInt64(magnitude);
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
