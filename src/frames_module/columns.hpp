// Numeric columns: one field's values over many frames in one array of
// 64-bit slots (int64, uint64 or float64), exported through the buffer
// protocol with its typed format, so numpy.asarray and memoryview view it
// without a copy.  Columns are read-only and never change size.
#pragma once

#include <Python.h>

#include <cstdint>

#include "frames/frame_field.hpp"

namespace bitloom::frames {

extern PyTypeObject ColumnType;

// A new column of `length` uninitialised slots, or null with MemoryError.
PyObject* new_column(ColumnKind kind, Py_ssize_t length);
std::uint64_t* column_slots(PyObject* column) noexcept;

}  // namespace bitloom::frames
