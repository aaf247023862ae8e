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

// Bit patterns from encoders: never negative.  Patterns below 2^63 go through
// the signed constructor, which builds a one-digit int directly.
inline PyObject* to_python(std::uint64_t pattern) {
    if (pattern <= static_cast<std::uint64_t>(INT64_MAX)) {
        return int_from_int64(static_cast<std::int64_t>(pattern));
    }
    return PyLong_FromUnsignedLongLong(pattern);
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
