// The boundary between routine results and Python exceptions: the one place
// where a CodecError is raised, and the guard that keeps C++ exceptions out
// of the interpreter.
#pragma once

#include <Python.h>

#include <cstddef>
#include <exception>
#include <new>

#include "core/codec_result.hpp"

namespace bitloom {

PyObject* exception_type(ErrorKind kind) noexcept;

// Raises the codec error as its exception type with the message as the only
// argument.  Always returns null, for `return raise_codec_error(...)`.
[[gnu::cold]] PyObject* raise_codec_error(const CodecError& error);

// MemoryError "cannot allocate {} bytes for a field": a field's bytes (or a
// value's) that could not be allocated.  Always returns false.
[[gnu::cold]] bool raise_field_memory_error(std::size_t bytes);

// The exception type that reports an internal fault.  It derives directly
// from BaseException, so `except Exception` does not swallow it.
// It is created with the module state (python/module_state.hpp).
PyObject* internal_error_type() noexcept;
[[gnu::cold]] void raise_internal_error(const char* description);

// Runs `body` and turns any C++ exception it lets out into a Python one:
// std::bad_alloc becomes MemoryError, anything else an internal fault.
template <class Body>
PyObject* guard(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& fault) {
        raise_internal_error(fault.what());
    } catch (...) {
        raise_internal_error("unknown internal fault");
    }
    return nullptr;
}

}  // namespace bitloom
