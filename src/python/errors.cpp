#include "python/errors.hpp"

namespace bitloom {

namespace {
PyObject* g_internal_error = nullptr;
}

PyObject* exception_type(ErrorKind kind) noexcept {
    switch (kind) {
        case ErrorKind::value_error: return PyExc_ValueError;
        case ErrorKind::key_error: return PyExc_KeyError;
        case ErrorKind::not_implemented_error: return PyExc_NotImplementedError;
        case ErrorKind::type_error: return PyExc_TypeError;
        case ErrorKind::overflow_error: return PyExc_OverflowError;
    }
    return PyExc_ValueError;
}

PyObject* raise_codec_error(const CodecError& error) {
    PyObject* message = PyUnicode_DecodeUTF8(error.message.data(),
                                             static_cast<Py_ssize_t>(error.message.size()),
                                             "replace");
    if (!message) return nullptr;
    PyErr_SetObject(exception_type(error.kind), message);
    Py_DECREF(message);
    return nullptr;
}

PyObject* internal_error_type() noexcept { return g_internal_error; }

bool create_internal_error_type() {
    if (g_internal_error) return true;
    g_internal_error = PyErr_NewExceptionWithDoc(
        "bitloom.InternalError",
        "A broken invariant inside bitloom; please report it with the input that caused it.",
        PyExc_BaseException, nullptr);
    return g_internal_error != nullptr;
}

void raise_internal_error(const char* description) {
    PyErr_SetString(g_internal_error ? g_internal_error : PyExc_SystemError, description);
}

}  // namespace bitloom
