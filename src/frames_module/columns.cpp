#include "frames_module/columns.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "frames_module/field_values.hpp"
#include "python/python_ref.hpp"

namespace bitloom::frames {

namespace {

// Memory shared by the columns of one result; the last column frees it.
struct SlotBlock {
    std::atomic<std::size_t> users;
    void* memory;
};

struct ColumnObject {
    PyObject_HEAD
    ColumnKind kind;
    Py_ssize_t length;
    // Kept in the object: an exported buffer points at them.
    Py_ssize_t shape;
    Py_ssize_t stride;
    std::uint64_t* slots;
    SlotBlock* block;  // null: `slots` is the column's own PyMem allocation
};

ColumnObject* as_column(PyObject* object) noexcept { return reinterpret_cast<ColumnObject*>(object); }

const char* format_of(ColumnKind kind) noexcept {
    switch (kind) {
        case ColumnKind::int64: return "q";
        case ColumnKind::uint64: return "Q";
        default: return "d";
    }
}

void column_dealloc(PyObject* self) {
    ColumnObject* column = as_column(self);
    if (!column->block) {
        PyMem_Free(column->slots);
    } else if (column->block->users.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        std::free(column->block->memory);
        delete column->block;
    }
    Py_TYPE(self)->tp_free(self);
}

Py_ssize_t column_length(PyObject* self) { return as_column(self)->length; }

PyObject* column_item(PyObject* self, Py_ssize_t index) {
    ColumnObject* column = as_column(self);
    if (index < 0 || index >= column->length) {
        PyErr_SetString(PyExc_IndexError, "column index out of range");
        return nullptr;
    }
    return slot_to_python(slot_type(column->kind), column->slots[index]);
}

int column_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    ColumnObject* column = as_column(self);
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "a column is read-only");
        view->obj = nullptr;
        return -1;
    }
    view->obj = Py_NewRef(self);
    view->buf = column->slots;
    view->len = column->length * 8;
    view->readonly = 1;
    view->itemsize = 8;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(format_of(column->kind)) : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) ? &column->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &column->stride : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

PyObject* column_tolist(PyObject* self, PyObject*) {
    ColumnObject* column = as_column(self);
    PyRef list(PyList_New(column->length));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < column->length; ++i) {
        PyObject* value = slot_to_python(slot_type(column->kind), column->slots[i]);
        if (!value) return nullptr;
        PyList_SET_ITEM(list.get(), i, value);
    }
    return list.release();
}

PyObject* column_format(PyObject* self, void*) {
    return PyUnicode_FromString(format_of(as_column(self)->kind));
}

PyObject* column_repr(PyObject* self) {
    ColumnObject* column = as_column(self);
    return PyUnicode_FromFormat("<bitloom.frames.Column format='%s' length=%zd>",
                                format_of(column->kind), column->length);
}

// Pickled as its format and raw slots (native byte order, like array.array).
PyObject* column_reduce(PyObject* self, PyObject*) {
    ColumnObject* column = as_column(self);
    PyRef data(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(column->slots),
                                         column->length * 8));
    if (!data) return nullptr;
    PyRef module(PyImport_ImportModule("bitloom._frames"));
    if (!module) return nullptr;
    PyRef rebuild(PyObject_GetAttrString(module.get(), "_column"));
    if (!rebuild) return nullptr;
    return Py_BuildValue("(O(sO))", rebuild.get(), format_of(column->kind), data.get());
}

PySequenceMethods kColumnSequence = {
    column_length, nullptr, nullptr, column_item, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyBufferProcs kColumnBuffer = {column_getbuffer, nullptr};

PyMethodDef kColumnMethods[] = {
    {"tolist", column_tolist, METH_NOARGS,
     "tolist($self, /)\n--\n\nThe values as a list of Python ints or floats."},
    {"__reduce__", column_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kColumnGetSet[] = {
    {"format", column_format, nullptr,
     "The buffer format of the values: 'q' int64, 'Q' uint64, 'd' float64.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject ColumnType = [] {
    // Every member zero, then the header, so that no member is left out of
    // an initialiser (-Wmissing-field-initializers).
    PyTypeObject type{};
    type.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    type.tp_name = "bitloom.frames.Column";
    type.tp_basicsize = sizeof(ColumnObject);
    type.tp_dealloc = column_dealloc;
    type.tp_repr = column_repr;
    type.tp_as_sequence = &kColumnSequence;
    type.tp_as_buffer = &kColumnBuffer;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc = "One numeric field of many frames: a read-only array of int64 ('q'), uint64 "
                  "('Q') or float64 ('d') values that exports the buffer protocol.";
    type.tp_methods = kColumnMethods;
    type.tp_getset = kColumnGetSet;
    return type;
}();

PyObject* new_column(ColumnKind kind, Py_ssize_t length) {
    if (length > PY_SSIZE_T_MAX / 8) return PyErr_NoMemory();
    auto* slots = static_cast<std::uint64_t*>(PyMem_Malloc(static_cast<std::size_t>(length > 0 ? length : 1) * 8));
    if (!slots) return PyErr_NoMemory();
    ColumnObject* column = PyObject_New(ColumnObject, &ColumnType);
    if (!column) {
        PyMem_Free(slots);
        return nullptr;
    }
    column->kind = kind;
    column->length = length;
    column->shape = length;
    column->stride = 8;
    column->slots = slots;
    column->block = nullptr;
    return reinterpret_cast<PyObject*>(column);
}

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// A block of `bytes` (a multiple of kHugePage) on huge pages, or null where
// there are none (the columns then take memory of their own).
void* allocate_huge_pages(std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    void* memory = nullptr;
    if (posix_memalign(&memory, kHugePage, bytes) != 0) return nullptr;
    // Only advice: without it the block is plain pages.
    (void)madvise(memory, bytes, MADV_HUGEPAGE);
    return memory;
#else
    (void)bytes;
    return nullptr;
#endif
}

}  // namespace

bool new_columns(std::span<const ColumnKind> kinds, Py_ssize_t length, std::span<PyRef> out) {
    const std::size_t count = kinds.size();
    const bool representable = length >= 0 && count > 0 &&
                               static_cast<std::size_t>(length) <= PY_SSIZE_T_MAX / 8 / count;
    const std::size_t column_bytes = representable ? static_cast<std::size_t>(length) * 8 : 0;
    void* memory = nullptr;
    // Below a few huge pages the rounding would waste more than it saves.
    if (representable && column_bytes * count >= 2 * kHugePage) {
        memory = allocate_huge_pages((column_bytes * count + kHugePage - 1) / kHugePage * kHugePage);
    }
    if (!memory) {
        for (std::size_t k = 0; k < count; ++k) {
            out[k] = PyRef(new_column(kinds[k], length));
            if (!out[k]) return false;
        }
        return true;
    }
    auto* block = new (std::nothrow) SlotBlock{{0}, memory};
    if (!block) {
        std::free(memory);
        PyErr_NoMemory();
        return false;
    }
    for (std::size_t k = 0; k < count; ++k) {
        ColumnObject* column = PyObject_New(ColumnObject, &ColumnType);
        if (!column) {
            if (k == 0) {
                std::free(memory);
                delete block;
            }
            return false;  // the columns made so far free the block
        }
        block->users.fetch_add(1, std::memory_order_relaxed);
        column->kind = kinds[k];
        column->length = length;
        column->shape = length;
        column->stride = 8;
        column->slots = static_cast<std::uint64_t*>(memory) + k * static_cast<std::size_t>(length);
        column->block = block;
        out[k] = PyRef(reinterpret_cast<PyObject*>(column));
    }
    return true;
}

std::uint64_t* column_slots(PyObject* column) noexcept { return as_column(column)->slots; }

}  // namespace bitloom::frames
