#include "frames_module/columns.hpp"

#include <climits>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "frames/arrow_export.hpp"

namespace bitloom::frames {

namespace {

struct ColumnObject {
    PyObject_HEAD
    ColumnMemory* memory;
    Py_ssize_t offset;  // in rows
    Py_ssize_t length;
    // Kept in the object: an exported buffer points at them (two dimensions
    // for an ArrayColumn: rows, and the values of a row).
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
};

ColumnObject* as_column(PyObject* object) noexcept { return reinterpret_cast<ColumnObject*>(object); }

bool is_column(PyObject* object) noexcept {
    PyTypeObject* type = Py_TYPE(object);
    return type == &NumericColumnType || type == &StringColumnType || type == &BinaryColumnType ||
           type == &ArrayColumnType || type == &ListColumnType;
}

PyTypeObject* type_for(const ColumnMemory& memory) noexcept {
    if (memory.list_offsets) return &ListColumnType;
    if (memory.list_size != 0) return &ArrayColumnType;
    if (memory.type == ColumnType::string) return &StringColumnType;
    if (memory.type == ColumnType::binary) return &BinaryColumnType;
    return &NumericColumnType;
}

PyObject* new_column_object(ColumnMemory* memory, Py_ssize_t offset, Py_ssize_t length) {
    ColumnObject* column = PyObject_New(ColumnObject, type_for(*memory));
    if (!column) {
        memory->release();
        return nullptr;
    }
    column->memory = memory;
    column->offset = offset;
    column->length = length;
    const auto item = static_cast<Py_ssize_t>(memory->item_size());
    if (memory->list_size != 0) {
        column->shape[0] = length;
        column->shape[1] = static_cast<Py_ssize_t>(memory->list_size);
        column->strides[0] = item * column->shape[1];
        column->strides[1] = item;
    } else {
        column->shape[0] = column->shape[1] = length;
        column->strides[0] = column->strides[1] = item;
    }
    return reinterpret_cast<PyObject*>(column);
}

void column_dealloc(PyObject* self) {
    as_column(self)->memory->release();
    Py_TYPE(self)->tp_free(self);
}

Py_ssize_t column_length(PyObject* self) { return as_column(self)->length; }

PyObject* stored_value(const ColumnMemory& memory, std::size_t index);

// Row `index` of a list column as a list; None when null.
PyObject* row_at(const ColumnMemory& memory, std::size_t index) {
    if (!memory.is_valid(index)) Py_RETURN_NONE;
    const std::size_t first = memory.row_start(index);
    const std::size_t count = memory.row_size(index);
    PyRef row(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!row) return nullptr;
    for (std::size_t k = 0; k < count; ++k) {
        PyObject* value = stored_value(memory, first + k);
        if (!value) return nullptr;
        PyList_SET_ITEM(row.get(), static_cast<Py_ssize_t>(k), value);
    }
    return row.release();
}

// Value `index` (of the whole memory) as a Python object; None when null.
// Of a list column: row `index`, as a list.
PyObject* value_at(const ColumnMemory& memory, std::size_t index) {
    if (memory.is_list()) return row_at(memory, index);
    if (!memory.is_valid(index)) Py_RETURN_NONE;
    return stored_value(memory, index);
}

// The value stored at `index` of the values buffer, null or not.
PyObject* stored_value(const ColumnMemory& memory, std::size_t index) {
    const void* values = memory.values;
    switch (memory.type) {
        case ColumnType::int8: return PyLong_FromLong(static_cast<const std::int8_t*>(values)[index]);
        case ColumnType::int16: return PyLong_FromLong(static_cast<const std::int16_t*>(values)[index]);
        case ColumnType::int32: return PyLong_FromLong(static_cast<const std::int32_t*>(values)[index]);
        case ColumnType::int64: return PyLong_FromLongLong(static_cast<const std::int64_t*>(values)[index]);
        case ColumnType::uint8: return PyLong_FromUnsignedLong(static_cast<const std::uint8_t*>(values)[index]);
        case ColumnType::uint16: return PyLong_FromUnsignedLong(static_cast<const std::uint16_t*>(values)[index]);
        case ColumnType::uint32: return PyLong_FromUnsignedLong(static_cast<const std::uint32_t*>(values)[index]);
        case ColumnType::uint64:
            return PyLong_FromUnsignedLongLong(static_cast<const std::uint64_t*>(values)[index]);
        case ColumnType::float32: return PyFloat_FromDouble(static_cast<const float*>(values)[index]);
        case ColumnType::float64: return PyFloat_FromDouble(static_cast<const double*>(values)[index]);
        case ColumnType::string:
        case ColumnType::binary: {
            const std::size_t begin = memory.offset_at(index);
            const std::size_t end = memory.offset_at(index + 1);
            const char* text = reinterpret_cast<const char*>(memory.data) + begin;
            const auto size = static_cast<Py_ssize_t>(end - begin);
            return memory.type == ColumnType::string ? PyUnicode_DecodeUTF8(text, size, "strict")
                                                     : PyBytes_FromStringAndSize(text, size);
        }
    }
    Py_RETURN_NONE;
}

PyObject* column_item(PyObject* self, Py_ssize_t index) {
    ColumnObject* column = as_column(self);
    if (index < 0 || index >= column->length) {
        PyErr_SetString(PyExc_IndexError, "column index out of range");
        return nullptr;
    }
    return value_at(*column->memory, static_cast<std::size_t>(column->offset + index));
}

// A new column of the values at `start`, `start + step`, ... (`count` of them).
PyObject* gather(ColumnObject* column, Py_ssize_t start, Py_ssize_t step, Py_ssize_t count) {
    const ColumnMemory& source = *column->memory;
    if (source.is_list()) {
        PyErr_SetString(PyExc_ValueError, "an array column is sliced with a step of 1 only");
        return nullptr;
    }
    ColumnMemory* memory = ColumnMemory::create(source.type, static_cast<std::size_t>(count), source.large_offsets);
    if (!memory) return PyErr_NoMemory();
    auto index = [&](Py_ssize_t k) { return static_cast<std::size_t>(column->offset + start + k * step); };
    if (!has_offsets(source.type)) {
        const std::size_t size = source.item_size();
        for (Py_ssize_t k = 0; k < count; ++k) {
            std::memcpy(static_cast<std::uint8_t*>(memory->values) + static_cast<std::size_t>(k) * size,
                        static_cast<const std::uint8_t*>(source.values) + index(k) * size, size);
        }
    } else {
        std::size_t total = 0;
        for (Py_ssize_t k = 0; k < count; ++k) total += source.offset_at(index(k) + 1) - source.offset_at(index(k));
        free_column_bytes(memory->data);
        memory->data = static_cast<std::uint8_t*>(allocate_column_bytes(total));
        if (!memory->data) {
            memory->release();
            return PyErr_NoMemory();
        }
        memory->data_bytes = total;
        std::size_t at = 0;
        for (Py_ssize_t k = 0; k <= count; ++k) {
            if (memory->large_offsets) static_cast<std::int64_t*>(memory->values)[k] = static_cast<std::int64_t>(at);
            else static_cast<std::int32_t*>(memory->values)[k] = static_cast<std::int32_t>(at);
            if (k == count) break;
            const std::size_t begin = source.offset_at(index(k));
            const std::size_t size = source.offset_at(index(k) + 1) - begin;
            if (size != 0) std::memcpy(memory->data + at, source.data + begin, size);
            at += size;
        }
    }
    for (Py_ssize_t k = 0; k < count; ++k) {
        if (!source.is_valid(index(k)) && !memory->set_null(static_cast<std::size_t>(k))) {
            memory->release();
            return PyErr_NoMemory();
        }
    }
    return new_column_object(memory, 0, count);
}

PyObject* column_subscript(PyObject* self, PyObject* key) {
    ColumnObject* column = as_column(self);
    if (PySlice_Check(key)) {
        Py_ssize_t start = 0, stop = 0, step = 0;
        if (PySlice_Unpack(key, &start, &stop, &step) < 0) return nullptr;
        const Py_ssize_t count = PySlice_AdjustIndices(column->length, &start, &stop, step);
        if (step == 1) {
            column->memory->retain();
            return new_column_object(column->memory, column->offset + start, count);
        }
        return gather(column, start, step, count);
    }
    Py_ssize_t index = PyNumber_AsSsize_t(key, PyExc_IndexError);
    if (index == -1 && PyErr_Occurred()) return nullptr;
    if (index < 0) index += column->length;
    return column_item(self, index);
}

PyObject* column_iter(PyObject* self) { return PySeqIter_New(self); }

int column_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    ColumnObject* column = as_column(self);
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "a column is read-only");
        view->obj = nullptr;
        return -1;
    }
    const ColumnMemory& memory = *column->memory;
    const bool rows = memory.list_size != 0;  // an ArrayColumn: two dimensions
    view->obj = Py_NewRef(self);
    view->buf = static_cast<std::uint8_t*>(memory.values) + column->offset * column->strides[0];
    view->len = column->length * column->strides[0];
    view->readonly = 1;
    view->itemsize = column->strides[rows ? 1 : 0];
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(column_type_row(memory.type).struct_format) : nullptr;
    view->ndim = rows && (flags & PyBUF_ND) ? 2 : 1;
    view->shape = (flags & PyBUF_ND) ? column->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? column->strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

PyObject* column_tolist(PyObject* self, PyObject*) {
    ColumnObject* column = as_column(self);
    PyRef list(PyList_New(column->length));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < column->length; ++i) {
        PyObject* value = value_at(*column->memory, static_cast<std::size_t>(column->offset + i));
        if (!value) return nullptr;
        PyList_SET_ITEM(list.get(), i, value);
    }
    return list.release();
}

PyObject* column_type_name(PyObject* self, void*) {
    return PyUnicode_FromString(column_type_row(as_column(self)->memory->type).name);
}

PyObject* column_count(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(as_column(self)->memory->list_size);
}

PyObject* column_shape(PyObject* self, void*) {
    ColumnObject* column = as_column(self);
    return Py_BuildValue("(nn)", column->length, column->shape[1]);
}

PyObject* column_format(PyObject* self, void*) {
    return PyUnicode_FromString(column_type_row(as_column(self)->memory->type).struct_format);
}

PyObject* column_null_count(PyObject* self, void*) {
    ColumnObject* column = as_column(self);
    const ColumnMemory& memory = *column->memory;
    std::size_t nulls = 0;
    if (memory.validity) {
        for (Py_ssize_t i = 0; i < column->length; ++i) nulls += !memory.is_valid(static_cast<std::size_t>(column->offset + i));
    }
    return PyLong_FromSize_t(nulls);
}

// One byte per value, 1 where the value is null: numpy's mask.
PyObject* column_null_mask(PyObject* self, PyObject*) {
    ColumnObject* column = as_column(self);
    PyRef mask(PyBytes_FromStringAndSize(nullptr, column->length));
    if (!mask) return nullptr;
    char* bytes = PyBytes_AS_STRING(mask.get());
    for (Py_ssize_t i = 0; i < column->length; ++i) {
        bytes[i] = column->memory->is_valid(static_cast<std::size_t>(column->offset + i)) ? 0 : 1;
    }
    return mask.release();
}

PyObject* column_repr(PyObject* self) {
    ColumnObject* column = as_column(self);
    if (column->memory->list_size != 0) {
        return PyUnicode_FromFormat("<%s type='%s' count=%u length=%zd>", Py_TYPE(self)->tp_name,
                                    column_type_row(column->memory->type).name,
                                    static_cast<unsigned>(column->memory->list_size), column->length);
    }
    return PyUnicode_FromFormat("<%s type='%s' length=%zd>", Py_TYPE(self)->tp_name,
                                column_type_row(column->memory->type).name, column->length);
}

// __array__(dtype=None, copy=None): numbers through the buffer, without a
// copy; text and bytes as an array of objects.
PyObject* column_array(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"dtype", "copy", nullptr};
    PyObject* dtype = Py_None;
    PyObject* copy = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:__array__", const_cast<char**>(keywords), &dtype, &copy)) {
        return nullptr;
    }
    PyRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    PyRef array;
    if (Py_TYPE(self) == &NumericColumnType || Py_TYPE(self) == &ArrayColumnType) {
        PyRef view(PyMemoryView_FromObject(self));
        if (!view) return nullptr;
        array = PyRef(PyObject_CallMethod(numpy.get(), "asarray", "O", view.get()));
    } else if (Py_TYPE(self) == &ListColumnType) {
        // Rows of different lengths: an array of objects, one list per row.
        if (copy == Py_False) {
            PyErr_SetString(PyExc_ValueError, "a list column becomes a numpy array only by a copy");
            return nullptr;
        }
        ColumnObject* column = as_column(self);
        array = PyRef(PyObject_CallMethod(numpy.get(), "empty", "ns", column->length, "O"));
        if (!array) return nullptr;
        for (Py_ssize_t i = 0; i < column->length; ++i) {
            PyRef row(value_at(*column->memory, static_cast<std::size_t>(column->offset + i)));
            PyRef index(PyLong_FromSsize_t(i));
            if (!row || !index || PyObject_SetItem(array.get(), index.get(), row.get()) < 0) return nullptr;
        }
        copy = Py_None;
    } else {
        if (copy == Py_False) {
            PyErr_SetString(PyExc_ValueError, "a text or bytes column becomes a numpy array only by a copy");
            return nullptr;
        }
        PyRef values(column_tolist(self, nullptr));
        if (!values) return nullptr;
        array = PyRef(PyObject_CallMethod(numpy.get(), "array", "Os", values.get(), "O"));
        copy = Py_None;
    }
    if (!array) return nullptr;
    if (dtype != Py_None) {
        PyRef kwargs_copy(Py_BuildValue("{s:O}", "copy", copy == Py_True ? Py_True : Py_False));
        PyRef method(PyObject_GetAttrString(array.get(), "astype"));
        PyRef call_args(PyTuple_Pack(1, dtype));
        if (!kwargs_copy || !method || !call_args) return nullptr;
        return PyObject_Call(method.get(), call_args.get(), kwargs_copy.get());
    }
    if (copy == Py_True) return PyObject_CallMethod(array.get(), "copy", nullptr);
    return array.release();
}

// ---- Arrow's PyCapsule interface -------------------------------------------

// A capsule's destructor: releases the structure unless its consumer moved
// it out (a null release), then frees it.  The capsule's name is the
// interface's, one per structure type.
template <class Structure, const char* Name>
void capsule_free(PyObject* capsule) {
    auto* structure = static_cast<Structure*>(PyCapsule_GetPointer(capsule, Name));
    if (!structure) {
        PyErr_Clear();
        return;
    }
    if (structure->release) structure->release(structure);
    delete structure;
}

constexpr char kSchemaCapsule[] = "arrow_schema";
constexpr char kArrayCapsule[] = "arrow_array";
constexpr char kStreamCapsule[] = "arrow_array_stream";

// A new structure filled by `fill` (false: out of memory), in a capsule that
// owns it; null with MemoryError set when any step fails.
template <class Structure, const char* Name, class Fill>
PyObject* new_capsule(Fill&& fill) {
    auto* structure = new (std::nothrow) Structure();
    if (!structure) return PyErr_NoMemory();
    if (!fill(structure)) {
        delete structure;
        return PyErr_NoMemory();
    }
    PyObject* capsule = PyCapsule_New(structure, Name, capsule_free<Structure, Name>);
    if (!capsule) {
        structure->release(structure);
        delete structure;
    }
    return capsule;
}

PyObject* array_capsule(const ColumnSlice& slice) {
    return new_capsule<ArrowArray, kArrayCapsule>([&](ArrowArray* array) { return export_array(slice, array); });
}

PyObject* stream_capsule(const std::vector<ColumnSlice>& columns, const std::vector<std::string>& names) {
    return new_capsule<ArrowArrayStream, kStreamCapsule>([&](ArrowArrayStream* stream) { return export_stream(columns, names, stream); });
}

ColumnSlice slice_of(PyObject* self) noexcept {
    ColumnObject* column = as_column(self);
    return {column->memory, static_cast<std::size_t>(column->offset), static_cast<std::size_t>(column->length)};
}

// A requested schema is a wish a producer may ignore; the column keeps its type.
bool ignore_requested_schema(PyObject* args, PyObject* kwargs, const char* name) {
    static const char* keywords[] = {"requested_schema", nullptr};
    PyObject* requested = Py_None;
    std::string format = std::string("|O:") + name;
    return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(keywords), &requested) != 0;
}

PyObject* column_arrow_schema(PyObject* self, PyObject*) {
    const ColumnMemory& memory = *as_column(self)->memory;
    return new_capsule<ArrowSchema, kSchemaCapsule>(
        [&](ArrowSchema* schema) { return export_column_schema(memory, "", schema); });
}

PyObject* column_arrow_array(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!ignore_requested_schema(args, kwargs, "__arrow_c_array__")) return nullptr;
    PyRef schema(column_arrow_schema(self, nullptr));
    if (!schema) return nullptr;
    PyRef array(array_capsule(slice_of(self)));
    if (!array) return nullptr;
    return PyTuple_Pack(2, schema.get(), array.get());
}

// A column as a stream of one array (a record batch of one column "values"
// is not what a consumer of a column wants: the stream's schema is the
// column's own type).
int single_schema(ArrowArrayStream* stream, ArrowSchema* out);
int single_next(ArrowArrayStream* stream, ArrowArray* out);
const char* single_error(ArrowArrayStream*) { return nullptr; }

struct SingleStream {
    ColumnSlice slice;
    bool done = false;
    ~SingleStream() { slice.memory->release(); }
};

int single_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    const auto* data = static_cast<SingleStream*>(stream->private_data);
    return export_column_schema(*data->slice.memory, "", out) ? 0 : 12;
}

int single_next(ArrowArrayStream* stream, ArrowArray* out) {
    auto* data = static_cast<SingleStream*>(stream->private_data);
    if (data->done) {
        out->release = nullptr;
        return 0;
    }
    if (!export_array(data->slice, out)) return 12;
    data->done = true;
    return 0;
}

void single_release(ArrowArrayStream* stream) {
    delete static_cast<SingleStream*>(stream->private_data);
    stream->release = nullptr;
}

PyObject* column_arrow_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!ignore_requested_schema(args, kwargs, "__arrow_c_stream__")) return nullptr;
    ColumnSlice slice = slice_of(self);
    slice.memory->retain();
    auto* data = new (std::nothrow) SingleStream{slice};
    if (!data) {
        slice.memory->release();
        return PyErr_NoMemory();
    }
    auto* stream = new (std::nothrow) ArrowArrayStream();
    if (!stream) {
        delete data;
        return PyErr_NoMemory();
    }
    *stream = {single_schema, single_next, single_error, single_release, data};
    PyObject* capsule = PyCapsule_New(stream, kStreamCapsule, capsule_free<ArrowArrayStream, kStreamCapsule>);
    if (!capsule) {
        single_release(stream);
        delete stream;
    }
    return capsule;
}

// ---- pickling --------------------------------------------------------------

// Pickled as its type name, its values (the bytes of numbers in native
// order, like array.array; a list for text and bytes) and its null mask.
PyObject* column_reduce(PyObject* self, PyObject*) {
    ColumnObject* column = as_column(self);
    const ColumnMemory& memory = *column->memory;
    PyRef values;
    // A list column adds its rows: the values per row of a fixed-size list,
    // or the offsets (native int32, from 0) of a variable one.
    PyRef rows = PyRef::borrow(Py_None);
    const std::size_t item = memory.item_size();
    if (has_offsets(memory.type)) {
        values = PyRef(column_tolist(self, nullptr));
    } else if (memory.list_offsets) {
        const auto first = static_cast<std::size_t>(memory.list_offsets[column->offset]);
        const auto last = static_cast<std::size_t>(memory.list_offsets[column->offset + column->length]);
        values = PyRef(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(memory.values) + first * item,
                                                 static_cast<Py_ssize_t>((last - first) * item)));
        rows = PyRef(PyBytes_FromStringAndSize(nullptr, (column->length + 1) * 4));
        if (!rows) return nullptr;
        auto* offsets = reinterpret_cast<std::int32_t*>(PyBytes_AS_STRING(rows.get()));
        for (Py_ssize_t i = 0; i <= column->length; ++i) {
            offsets[i] = memory.list_offsets[column->offset + i] - static_cast<std::int32_t>(first);
        }
    } else {
        values = PyRef(PyBytes_FromStringAndSize(
            reinterpret_cast<const char*>(memory.values) + column->offset * column->strides[0],
            column->length * column->strides[0]));
        if (memory.list_size != 0) rows = PyRef(PyLong_FromUnsignedLong(memory.list_size));
    }
    if (!values || !rows) return nullptr;
    PyRef mask = memory.validity ? PyRef(column_null_mask(self, nullptr)) : PyRef::borrow(Py_None);
    if (!mask) return nullptr;
    PyRef module(PyImport_ImportModule("bitloom._frames"));
    if (!module) return nullptr;
    PyRef rebuild(PyObject_GetAttrString(module.get(), "_column"));
    if (!rebuild) return nullptr;
    if (rows.get() != Py_None) {
        return Py_BuildValue("(O(sOOO))", rebuild.get(), column_type_row(memory.type).name, values.get(),
                             mask.get(), rows.get());
    }
    return Py_BuildValue("(O(sOO))", rebuild.get(), column_type_row(memory.type).name, values.get(), mask.get());
}

PyMappingMethods kColumnMapping = {column_length, column_subscript, nullptr};

PySequenceMethods kColumnSequence = {
    column_length, nullptr, nullptr, column_item, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyBufferProcs kColumnBuffer = {column_getbuffer, nullptr};

#define BITLOOM_COLUMN_METHODS                                                                         \
    {"tolist", column_tolist, METH_NOARGS,                                                              \
     "tolist($self, /)\n--\n\nThe values as a list of Python objects (None where a value is null)."},  \
    {"null_mask", column_null_mask, METH_NOARGS,                                                        \
     "null_mask($self, /)\n--\n\nOne byte per value, 1 where the value is null: "                      \
     "numpy.frombuffer(column.null_mask(), bool) is a mask for numpy.ma."},                             \
    {"__array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(column_array)),           \
     METH_VARARGS | METH_KEYWORDS, nullptr},                                                            \
    {"__arrow_c_schema__", column_arrow_schema, METH_NOARGS, nullptr},                                  \
    {"__arrow_c_array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(column_arrow_array)), \
     METH_VARARGS | METH_KEYWORDS, nullptr},                                                            \
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(column_arrow_stream)), \
     METH_VARARGS | METH_KEYWORDS, nullptr},                                                            \
    {"__reduce__", column_reduce, METH_NOARGS, nullptr}

PyMethodDef kColumnMethods[] = {
    BITLOOM_COLUMN_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kNumericGetSet[] = {
    {"type", column_type_name, nullptr, "The values' type: 'int8' ... 'uint64', 'float32', 'float64'.", nullptr},
    {"format", column_format, nullptr, "The buffer format of the values ('b', 'H', 'Q', 'f', 'd', ...).", nullptr},
    {"null_count", column_null_count, nullptr, "How many values are null.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef kArrayGetSet[] = {
    {"type", column_type_name, nullptr, "The elements' type: 'int8' ... 'uint64', 'float32', 'float64'.", nullptr},
    {"format", column_format, nullptr, "The buffer format of the elements ('b', 'H', 'Q', 'f', 'd', ...).", nullptr},
    {"count", column_count, nullptr, "Elements per frame.", nullptr},
    {"shape", column_shape, nullptr, "(frames, count): the shape numpy sees.", nullptr},
    {"null_count", column_null_count, nullptr, "How many frames' arrays are null.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef kListGetSet[] = {
    {"type", column_type_name, nullptr, "The elements' type: 'int8' ... 'uint64', 'float32', 'float64'.", nullptr},
    {"null_count", column_null_count, nullptr, "How many rows are null.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef kTextGetSet[] = {
    {"type", column_type_name, nullptr, "'string' or 'binary'.", nullptr},
    {"null_count", column_null_count, nullptr, "How many values are null.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject make_type(const char* name, const char* doc, bool numeric, PyGetSetDef* getset = nullptr) {
    // Every member zero, then the header, so that no member is left out of
    // an initialiser (-Wmissing-field-initializers).
    PyTypeObject type{};
    type.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    type.tp_name = name;
    type.tp_basicsize = sizeof(ColumnObject);
    type.tp_dealloc = column_dealloc;
    type.tp_repr = column_repr;
    type.tp_as_sequence = &kColumnSequence;
    type.tp_as_mapping = &kColumnMapping;
    type.tp_as_buffer = numeric ? &kColumnBuffer : nullptr;
    type.tp_iter = column_iter;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_SEQUENCE;
    type.tp_doc = doc;
    type.tp_methods = kColumnMethods;
    type.tp_getset = getset ? getset : numeric ? kNumericGetSet : kTextGetSet;
    return type;
}

}  // namespace

PyTypeObject NumericColumnType = make_type(
    "bitloom.frames.Column",
    "One numeric field of many frames: a read-only array of one native type (int8 ... uint64, "
    "float32, float64) that exports the buffer protocol and Arrow's PyCapsule interface.",
    true);
PyTypeObject StringColumnType = make_type(
    "bitloom.frames.StringColumn",
    "One text field of many frames: UTF-8 text in Arrow's layout (offsets and one data buffer); "
    "a str is made for a value only when it is asked for.",
    false);
PyTypeObject BinaryColumnType = make_type(
    "bitloom.frames.BinaryColumn",
    "One raw-bytes field of many frames, in Arrow's layout (offsets and one data buffer).", false);
PyTypeObject ArrayColumnType = make_type(
    "bitloom.frames.ArrayColumn",
    "An array field of many frames: frames x count numbers of one native type, row after row in one "
    "buffer.  The buffer protocol gives it two dimensions (numpy.asarray takes no copy), Arrow sees a "
    "fixed-size list; an item is a frame's list (None where it failed to decode).",
    true, kArrayGetSet);
PyTypeObject ListColumnType = make_type(
    "bitloom.frames.ListColumn",
    "An array field whose length varies, over many packets: rows of numbers of one native type in "
    "Arrow's list layout (int32 offsets and one values buffer); an item is a packet's list.",
    false, kListGetSet);

bool ready_column_types() noexcept {
    return PyType_Ready(&NumericColumnType) == 0 && PyType_Ready(&StringColumnType) == 0 &&
           PyType_Ready(&BinaryColumnType) == 0 && PyType_Ready(&ArrayColumnType) == 0 &&
           PyType_Ready(&ListColumnType) == 0;
}

PyObject* wrap_column(ColumnMemory* memory) {
    return new_column_object(memory, 0, static_cast<Py_ssize_t>(memory->length));
}

bool column_slice(PyObject* object, ColumnMemory*& memory, std::size_t& offset, std::size_t& length) {
    if (!is_column(object)) {
        PyErr_Format(PyExc_TypeError, "not a column: '%s'", Py_TYPE(object)->tp_name);
        return false;
    }
    const ColumnSlice slice = slice_of(object);
    memory = slice.memory;
    offset = slice.offset;
    length = slice.length;
    return true;
}

namespace {

// A list column from its values' bytes and its rows: the values per row
// (an int) or the offsets (bytes of native int32, from 0, never falling,
// ending at the number of values).  Null with the exception set.
ColumnMemory* list_from_parts(ColumnType type, PyObject* values, PyObject* rows) {
    if (has_offsets(type)) {
        PyErr_SetString(PyExc_ValueError, "not the parts of a list column");
        return nullptr;
    }
    Py_buffer data;
    if (PyObject_GetBuffer(values, &data, PyBUF_SIMPLE) < 0) return nullptr;
    const std::size_t item = column_type_row(type).item_size;
    const std::size_t count = static_cast<std::size_t>(data.len) / item;
    ColumnMemory* memory = nullptr;
    bool valid = static_cast<std::size_t>(data.len) % item == 0;
    if (valid && PyLong_Check(rows)) {
        const long size = PyLong_AsLong(rows);
        valid = size >= 1 && size <= INT32_MAX && count % static_cast<std::size_t>(size) == 0;
        if (valid) {
            memory = ColumnMemory::create_fixed_list(type, count / static_cast<std::size_t>(size),
                                                     static_cast<std::uint32_t>(size));
        }
    } else if (valid && PyBytes_Check(rows)) {
        const auto bytes = static_cast<std::size_t>(PyBytes_GET_SIZE(rows));
        valid = bytes >= 4 && bytes % 4 == 0 && count <= static_cast<std::size_t>(INT32_MAX);
        const std::size_t length = valid ? bytes / 4 - 1 : 0;
        std::vector<std::int32_t> offsets(valid ? length + 1 : 0);
        if (valid) std::memcpy(offsets.data(), PyBytes_AS_STRING(rows), bytes);
        for (std::size_t i = 0; valid && i < length; ++i) valid = offsets[i] <= offsets[i + 1];
        valid = valid && offsets[0] == 0 && static_cast<std::size_t>(offsets[length]) == count;
        if (valid) {
            memory = ColumnMemory::create_list(type, length, count);
            if (memory) std::memcpy(memory->list_offsets, offsets.data(), bytes);
        }
    } else {
        valid = false;
    }
    if (memory && data.len > 0) std::memcpy(memory->values, data.buf, static_cast<std::size_t>(data.len));
    PyBuffer_Release(&data);
    if (!valid) {
        PyErr_SetString(PyExc_ValueError, "not the parts of a list column");
        return nullptr;
    }
    if (!memory) PyErr_NoMemory();
    return memory;
}

}  // namespace

PyObject* column_from_parts(PyObject*, PyObject* args) {
    const char* name = nullptr;
    PyObject* values = nullptr;
    PyObject* mask = nullptr;
    PyObject* rows = Py_None;
    if (!PyArg_ParseTuple(args, "sOO|O:_column", &name, &values, &mask, &rows)) return nullptr;
    const ColumnTypeRow* row = nullptr;
    for (const ColumnTypeRow& candidate : kColumnTypes) {
        if (std::string_view(candidate.name) == name) row = &candidate;
    }
    if (!row) {
        PyErr_SetString(PyExc_ValueError, "not the type of a column");
        return nullptr;
    }
    ColumnMemory* memory = nullptr;
    if (rows != Py_None) {
        memory = list_from_parts(row->type, values, rows);
        if (!memory) return nullptr;
    } else if (!has_offsets(row->type)) {
        Py_buffer data;
        if (PyObject_GetBuffer(values, &data, PyBUF_SIMPLE) < 0) return nullptr;
        if (data.len % row->item_size == 0) {
            memory = ColumnMemory::create(row->type, static_cast<std::size_t>(data.len / row->item_size));
            if (memory && data.len > 0) std::memcpy(memory->values, data.buf, static_cast<std::size_t>(data.len));
        }
        const bool whole = data.len % row->item_size == 0;
        PyBuffer_Release(&data);
        if (!whole) {
            PyErr_SetString(PyExc_ValueError, "not the bytes of a column");
            return nullptr;
        }
        if (!memory) return PyErr_NoMemory();
    } else {
        PyRef items(PySequence_Tuple(values));
        if (!items) return nullptr;
        const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
        std::vector<std::string_view> parts;
        std::size_t total = 0;
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* item = PyTuple_GET_ITEM(items.get(), i);
            const char* text = "";
            Py_ssize_t size = 0;
            if (item == Py_None) {
            } else if (row->type == ColumnType::string && PyUnicode_Check(item)) {
                text = PyUnicode_AsUTF8AndSize(item, &size);
                if (!text) return nullptr;
            } else if (row->type == ColumnType::binary && PyBytes_Check(item)) {
                text = PyBytes_AS_STRING(item);
                size = PyBytes_GET_SIZE(item);
            } else {
                PyErr_SetString(PyExc_TypeError, "not a value of the column");
                return nullptr;
            }
            parts.emplace_back(text, static_cast<std::size_t>(size));
            total += static_cast<std::size_t>(size);
        }
        const bool large = total > static_cast<std::size_t>(INT32_MAX);
        memory = ColumnMemory::create(row->type, static_cast<std::size_t>(count), large);
        if (memory) {
            free_column_bytes(memory->data);
            memory->data = static_cast<std::uint8_t*>(allocate_column_bytes(total));
        }
        if (!memory || !memory->data) {
            if (memory) memory->release();
            return PyErr_NoMemory();
        }
        memory->data_bytes = total;
        std::size_t at = 0;
        for (std::size_t k = 0; k <= parts.size(); ++k) {
            if (large) static_cast<std::int64_t*>(memory->values)[k] = static_cast<std::int64_t>(at);
            else static_cast<std::int32_t*>(memory->values)[k] = static_cast<std::int32_t>(at);
            if (k == parts.size()) break;
            if (!parts[k].empty()) std::memcpy(memory->data + at, parts[k].data(), parts[k].size());
            at += parts[k].size();
        }
    }
    if (mask != Py_None) {
        Py_buffer bytes;
        if (PyObject_GetBuffer(mask, &bytes, PyBUF_SIMPLE) < 0) {
            memory->release();
            return nullptr;
        }
        bool ok = static_cast<std::size_t>(bytes.len) == memory->length;
        for (std::size_t i = 0; ok && i < memory->length; ++i) {
            if (static_cast<const char*>(bytes.buf)[i] && !memory->set_null(i)) ok = false;
        }
        PyBuffer_Release(&bytes);
        if (!ok) {
            memory->release();
            PyErr_SetString(PyExc_ValueError, "not the null mask of the column");
            return nullptr;
        }
    }
    return wrap_column(memory);
}

namespace {

// The names and columns of a mapping's items, checked.
bool gather_columns(PyObject* args, std::vector<ColumnSlice>& columns, std::vector<std::string>& names) {
    PyObject* keys = nullptr;
    PyObject* values = nullptr;
    if (!PyArg_ParseTuple(args, "O!O!", &PyTuple_Type, &keys, &PyTuple_Type, &values)) return false;
    if (PyTuple_GET_SIZE(keys) != PyTuple_GET_SIZE(values)) {
        PyErr_SetString(PyExc_ValueError, "as many names as columns");
        return false;
    }
    std::size_t length = 0;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(keys); ++k) {
        PyObject* key = PyTuple_GET_ITEM(keys, k);
        Py_ssize_t size = 0;
        const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
        if (!name) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "column names are str");
            return false;
        }
        ColumnSlice slice{};
        if (!column_slice(PyTuple_GET_ITEM(values, k), slice.memory, slice.offset, slice.length)) return false;
        if (k > 0 && slice.length != length) {
            PyErr_SetString(PyExc_ValueError, "columns of different lengths");
            return false;
        }
        length = slice.length;
        names.emplace_back(name, static_cast<std::size_t>(size));
        columns.push_back(slice);
    }
    return true;
}

}  // namespace

PyObject* arrow_stream_of(PyObject*, PyObject* args) {
    std::vector<ColumnSlice> columns;
    std::vector<std::string> names;
    if (!gather_columns(args, columns, names)) return nullptr;
    return stream_capsule(columns, names);
}

PyObject* arrow_schema_of(PyObject*, PyObject* args) {
    std::vector<ColumnSlice> columns;
    std::vector<std::string> names;
    if (!gather_columns(args, columns, names)) return nullptr;
    return new_capsule<ArrowSchema, kSchemaCapsule>([&](ArrowSchema* schema) { return export_struct_schema(columns, names, schema); });
}

}  // namespace bitloom::frames
