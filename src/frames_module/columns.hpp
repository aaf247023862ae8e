// Columns: one field's values over many frames, in the layout Arrow uses
// (frames/column_memory.hpp).  Three types: Column (numbers of a native
// width, exported through the buffer protocol with their struct format, so
// numpy.asarray and memoryview view them without a copy), StringColumn (UTF-8
// text) and BinaryColumn (raw bytes); and for array fields ArrayColumn (a
// fixed-size list: frames x count numbers in one buffer, a 2-D array to the
// buffer protocol) and ListColumn (rows of varying length, in Arrow's list
// layout).  A Python object is made for a value only when it is asked for.
// All of them speak Arrow's PyCapsule interface.
// Columns are read-only and never change size.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string>

#include "frames/column_memory.hpp"
#include "python/python_ref.hpp"

namespace bitloom::frames {

extern PyTypeObject NumericColumnType;
extern PyTypeObject StringColumnType;
extern PyTypeObject BinaryColumnType;
extern PyTypeObject ArrayColumnType;
extern PyTypeObject ListColumnType;

bool ready_column_types() noexcept;

// A column object for `memory` (whose reference it takes over), or null with
// the exception set (the reference is then dropped).
PyObject* wrap_column(ColumnMemory* memory);

// The memory and extent of a column object, or false with TypeError.
bool column_slice(PyObject* object, ColumnMemory*& memory, std::size_t& offset, std::size_t& length);

// The Python functions of the module that build columns and streams:
// _column (unpickling), _arrow_stream and _arrow_schema (a mapping of columns
// as one Arrow record batch).
PyObject* column_from_parts(PyObject* module, PyObject* args);
PyObject* arrow_stream_of(PyObject* module, PyObject* args);
PyObject* arrow_schema_of(PyObject* module, PyObject* args);

}  // namespace bitloom::frames
