#include "module/binding.hpp"

#include <string>

namespace bitloom {

namespace {

[[gnu::cold]] void raise_too_many_positional(const FunctionRow& row, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    if (row.required_count == row.parameter_count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %d positional arguments but %zd %s given",
                     row.name, row.parameter_count, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "%s() takes from %d to %d positional arguments but %zd %s given", row.name,
                     row.required_count, row.parameter_count, given, verb);
    }
}

[[gnu::cold]] void raise_missing(const FunctionRow& row, PyObject* const* bound) {
    const char* missing[kMaxParameters];
    int count = 0;
    for (int i = 0; i < row.required_count; ++i) {
        if (!bound[i]) missing[count++] = row.parameters[static_cast<std::size_t>(i)];
    }
    std::string names;
    for (int i = 0; i < count; ++i) {
        if (i > 0) names += count == 2 ? " and " : (i == count - 1 ? ", and " : ", ");
        names += '\'';
        names += missing[i];
        names += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %d required positional %s: %s", row.name, count,
                 count == 1 ? "argument" : "arguments", names.c_str());
}

}  // namespace

bool bind_arguments(const FunctionRow& row, PyObject* const* args, Py_ssize_t positional,
                    PyObject* keyword_names, PyObject** bound) {
    if (positional > row.parameter_count) {
        raise_too_many_positional(row, positional);
        return false;
    }
    for (int i = 0; i < row.parameter_count; ++i) bound[i] = i < positional ? args[i] : nullptr;
    if (keyword_names) {
        Py_ssize_t keyword_count = PyTuple_GET_SIZE(keyword_names);
        for (Py_ssize_t k = 0; k < keyword_count; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(keyword_names, k);
            int index = -1;
            for (int i = 0; i < row.parameter_count; ++i) {
                if (PyUnicode_CompareWithASCIIString(keyword,
                                                     row.parameters[static_cast<std::size_t>(i)]) == 0) {
                    index = i;
                    break;
                }
            }
            if (index < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             row.name, keyword);
                return false;
            }
            if (bound[index]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'",
                             row.name, keyword);
                return false;
            }
            bound[index] = args[positional + k];
        }
    }
    for (int i = 0; i < row.required_count; ++i) {
        if (!bound[i]) {
            raise_missing(row, bound);
            return false;
        }
    }
    return true;
}

bool convert_argument(Conversion conversion, const char* parameter, PyObject* object,
                      Argument& out) {
    out.object = object;
    bool converted = false;
    switch (conversion) {
        case Conversion::int64: converted = convert_int64(object, out.int64); break;
        case Conversion::uint64: converted = convert_uint64(object, out.uint64); break;
        case Conversion::uint32: converted = convert_uint32(object, out.uint32); break;
        case Conversion::unsigned128: converted = convert_uint128(object, out.u128); break;
        case Conversion::float64: converted = convert_float64(object, out.float64); break;
        case Conversion::float32: converted = convert_float32(object, out.float32); break;
        case Conversion::boolean: converted = convert_bool(object, out.boolean); break;
        case Conversion::bytes: converted = convert_bytes(object, out.bytes); break;
        case Conversion::str_object:
            converted = PyUnicode_Check(object);
            if (!converted) raise_cannot_cast(object, "str");
            break;
        case Conversion::sequence:
            converted = check_sequence(object);
            break;
    }
    if (!converted) wrap_argument_error(parameter);
    return converted;
}

}  // namespace bitloom
