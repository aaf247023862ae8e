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

// The out-of-line conversion, into an argument of its own that is copied to
// `out` on success (see general_into).
template <Conversion C>
[[gnu::always_inline]] inline bool convert_argument_general(const char* parameter, PyObject* object,
                                                            Argument& out) {
    Argument converted;
    if (!convert_argument(C, parameter, object, converted)) return false;
    out = converted;
    return true;
}

// The in-line path of conversion C: the common objects (compact ints, exact
// floats, True and False, bytes, str) converted in place without a switch, or
// false with nothing raised for any other object, which only the general
// conversion may judge.
template <Conversion C>
[[gnu::always_inline]] inline bool convert_in_line(PyObject* object, Argument& out) {
    out.object = object;
    if constexpr (C == Conversion::int64) {
        return int64_in_line(object, out.int64);
    } else if constexpr (C == Conversion::uint64) {
        return uint64_in_line(object, out.uint64);
    } else if constexpr (C == Conversion::uint32) {
        return uint32_in_line(object, out.uint32);
    } else if constexpr (C == Conversion::float64 || C == Conversion::float32) {
        if (!PyFloat_CheckExact(object)) return false;
        if constexpr (C == Conversion::float64) {
            out.float64 = PyFloat_AS_DOUBLE(object);
        } else {
            out.float32 = static_cast<float>(PyFloat_AS_DOUBLE(object));
        }
        return true;
    } else if constexpr (C == Conversion::boolean) {
        if (object != Py_True && object != Py_False) return false;
        out.boolean = object == Py_True;
        return true;
    } else if constexpr (C == Conversion::bytes) {
        if (!PyBytes_Check(object)) return false;
        out.bytes = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object)),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(object))};
        return true;
    } else if constexpr (C == Conversion::str_object) {
        return PyUnicode_Check(object);
    } else {
        return false;
    }
}

// convert_argument with the conversion known at compile time, for the entry
// of each function: the in-line path, else the general conversion above.
template <Conversion C>
[[gnu::always_inline]] inline bool convert_argument(const char* parameter, PyObject* object, Argument& out) {
    return convert_in_line<C>(object, out) || convert_argument_general<C>(parameter, object, out);
}

}  // namespace bitloom
