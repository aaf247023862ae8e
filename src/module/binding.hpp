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

}  // namespace bitloom
