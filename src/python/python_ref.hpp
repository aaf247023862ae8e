// A tiny owner of one strong Python reference, so that an early return on an
// error path cannot leak.
#pragma once

#include <Python.h>

#include <utility>

namespace bitloom {

class PyRef {
  public:
    PyRef() noexcept = default;
    // Takes over a new reference (which may be null after a failed call).
    explicit PyRef(PyObject* owned) noexcept : object_(owned) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    static PyRef borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }

  private:
    PyObject* object_ = nullptr;
};

}  // namespace bitloom
