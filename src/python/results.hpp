// Conversion of routine results into Python objects, and of codec errors into
// the exception they describe.
#pragma once

#include <Python.h>

#include <cstdint>

#include "core/codec_result.hpp"
#include "python/errors.hpp"

namespace bitloom {

// Bit patterns from encoders: never negative.  Patterns below 2^63 go through
// the signed constructor, which builds a one-digit int directly.
inline PyObject* to_python(std::uint64_t pattern) {
    if (pattern <= static_cast<std::uint64_t>(INT64_MAX)) {
        return PyLong_FromLongLong(static_cast<long long>(pattern));
    }
    return PyLong_FromUnsignedLongLong(pattern);
}
// Values from decoders.
inline PyObject* to_python(std::int64_t value) { return PyLong_FromLongLong(value); }
inline PyObject* to_python(double value) { return PyFloat_FromDouble(value); }

template <class T>
PyObject* to_python(const Result<T>& result) {
    if (!result.ok()) return raise_codec_error(result.error());
    return to_python(result.value());
}

}  // namespace bitloom
