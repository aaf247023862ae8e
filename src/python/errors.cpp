#include "python/errors.hpp"

#include "python/module_state.hpp"

namespace bitloom {

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

bool raise_field_memory_error(std::size_t bytes) {
    PyErr_Format(PyExc_MemoryError, "cannot allocate %zu bytes for a field", bytes);
    return false;
}

PyObject* internal_error_type() noexcept { return module_state().internal_error; }

void raise_internal_error(const char* description) {
    PyObject* type = internal_error_type();
    PyErr_SetString(type ? type : PyExc_SystemError, description);
}

}  // namespace bitloom
