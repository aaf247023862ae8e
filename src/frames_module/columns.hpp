// Numeric columns: one field's values over many frames in one array of
// 64-bit slots (int64, uint64 or float64), exported through the buffer
// protocol with its typed format, so numpy.asarray and memoryview view it
// without a copy.  Columns are read-only and never change size.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

#include "python/python_ref.hpp"

#include "frames/frame_field.hpp"

namespace bitloom::frames {

extern PyTypeObject ColumnType;

// A new column of `length` uninitialised slots, or null with MemoryError.
PyObject* new_column(ColumnKind kind, Py_ssize_t length);
std::uint64_t* column_slots(PyObject* column) noexcept;

// New columns of `length` slots each, one per kind in `kinds`, into `out`
// (as many).  Large results share one block of memory, given huge pages
// where the system offers them: a fresh 4 KiB page faulted in per 512
// values costs more than decoding them.  The block is freed with the last
// of its columns.  False with MemoryError set.
bool new_columns(std::span<const ColumnKind> kinds, Py_ssize_t length, std::span<PyRef> out);

}  // namespace bitloom::frames
