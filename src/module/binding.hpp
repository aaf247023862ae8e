// Binding of fast-call arguments to a function's parameters, with the
// messages a Python function of the same signature would give.
#pragma once

#include <Python.h>

#include "module/function_table.hpp"

namespace bitloom {

// Fills bound[0 .. parameter_count) with borrowed references (null for an
// absent optional parameter).  Returns false with TypeError set on failure.
bool bind_arguments(const FunctionRow& row, PyObject* const* args, Py_ssize_t positional,
                    PyObject* keyword_names, PyObject** bound);

// Converts one bound argument by its row's conversion, adding the parameter
// name to a plain TypeError.
bool convert_argument(Conversion conversion, const char* parameter, PyObject* object,
                      Argument& out);

// convert_argument with the conversion known at compile time, for the entry
// of each function.  The objects that nearly every call passes are read in
// place: an int in the interpreter's compact (one-digit) form, an exact
// float, True or False, bytes, a str.  They give the same values as the
// general conversions, which take everything else, including every object
// that fails, so that the exceptions are theirs.
template <Conversion C>
inline bool convert_argument(const char* parameter, PyObject* object, Argument& out) {
    if constexpr (C == Conversion::int64 || C == Conversion::uint64 ||
                  C == Conversion::uint32) {
        if (PyLong_Check(object) &&
            PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(object))) {
            const Py_ssize_t value =
                PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(object));
            if constexpr (C == Conversion::int64) {
                out.object = object;
                out.int64 = value;
                return true;
            } else if constexpr (C == Conversion::uint64) {
                if (value >= 0) {
                    out.object = object;
                    out.uint64 = static_cast<std::uint64_t>(value);
                    return true;
                }
            } else {
                if (value >= 0 && value <= 0xFFFFFFFF) {
                    out.object = object;
                    out.uint32 = static_cast<std::uint32_t>(value);
                    return true;
                }
            }
        }
    } else if constexpr (C == Conversion::float64 || C == Conversion::float32) {
        if (PyFloat_CheckExact(object)) {
            out.object = object;
            if constexpr (C == Conversion::float64) {
                out.float64 = PyFloat_AS_DOUBLE(object);
            } else {
                out.float32 = static_cast<float>(PyFloat_AS_DOUBLE(object));
            }
            return true;
        }
    } else if constexpr (C == Conversion::boolean) {
        if (object == Py_True || object == Py_False) {
            out.object = object;
            out.boolean = object == Py_True;
            return true;
        }
    } else if constexpr (C == Conversion::bytes) {
        if (PyBytes_Check(object)) {
            out.object = object;
            out.bytes = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object)),
                         static_cast<std::size_t>(PyBytes_GET_SIZE(object))};
            return true;
        }
    } else if constexpr (C == Conversion::str_object) {
        if (PyUnicode_Check(object)) {
            out.object = object;
            return true;
        }
    }
    return convert_argument(C, parameter, object, out);
}

}  // namespace bitloom
