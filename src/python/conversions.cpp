// Conversions of Python objects into plain values.  Their failures are the
// interpreter's own exceptions, or the fixed type-mismatch texts; none of
// them mentions an argument name (wrap_argument_error adds it).
#include "python/conversions.hpp"

#include "python/errors.hpp"

#include <climits>
#include <cstring>
#include <new>

namespace bitloom {

namespace {

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

// Raises the type-mismatch TypeError naming `type_name` and `target`.
[[gnu::cold]] void raise_cast_error(PyObject* type_name, const char* target) {
    if (type_name) PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", type_name, target);
}

bool is_numpy_bool(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    PyRef name(PyType_GetName(type));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    if (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
        PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0) {
        return false;
    }
    PyRef module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module.get()) &&
           PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

}  // namespace

void raise_cannot_cast(PyObject* object, const char* target) {
    PyRef name(PyType_GetName(Py_TYPE(object)));
    raise_cast_error(name.get(), target);
}

// Ints wider than one digit: PyLong_AsLongLong and PyLong_AsUnsignedLongLong
// go through the interpreter's general int-to-bytes routine, several times
// slower than the digit loops behind PyLong_AsLongLongAndOverflow and
// PyLong_AsUnsignedLong.  Those take the value; a value they refuse is
// converted again by the first two, which raise their own errors exactly.
bool convert_int64_general(PyObject* object, std::int64_t& out) {
    // long long, not long: long is 32 bits on Windows.
    if (PyLong_Check(object)) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
        if (overflow == 0) {
            out = value;
            return true;
        }
    }
    const long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

namespace {

bool unsigned_of_int(PyObject* number, std::uint64_t& out) {
    if constexpr (sizeof(unsigned long) == sizeof(std::uint64_t)) {
        const unsigned long value = PyLong_AsUnsignedLong(number);
        if (value != static_cast<unsigned long>(-1) || !PyErr_Occurred()) {
            out = value;
            return true;
        }
        PyErr_Clear();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(number);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

}  // namespace

bool convert_uint64_general(PyObject* object, std::uint64_t& out) {
    if (PyLong_Check(object)) return unsigned_of_int(object, out);
    PyRef index(PyNumber_Index(object));
    if (!index) return false;
    return unsigned_of_int(index.get(), out);
}

bool convert_uint32_general(PyObject* object, std::uint32_t& out) {
    std::int64_t value = 0;
    if (!convert_int64(object, value)) return false;
    if (value < 0 || value > 0xFFFFFFFFll) {
        PyErr_SetString(PyExc_OverflowError, kOutOfRange);
        return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool convert_uint128(PyObject* object, uint128& out) {
    unsigned char buffer[16];
    Py_ssize_t needed = PyLong_AsNativeBytes(
        object, buffer, sizeof buffer,
        Py_ASNATIVEBYTES_NATIVE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER |
            Py_ASNATIVEBYTES_REJECT_NEGATIVE | Py_ASNATIVEBYTES_ALLOW_INDEX);
    if (needed < 0) return false;
    if (needed > static_cast<Py_ssize_t>(sizeof buffer)) {
        PyErr_SetString(PyExc_OverflowError, "Python int larger than 128 bits");
        return false;
    }
    std::memcpy(&out, buffer, sizeof out);
    return true;
}

bool convert_float64(PyObject* object, double& out) {
    if (PyFloat_CheckExact(object)) {
        out = PyFloat_AS_DOUBLE(object);
        return true;
    }
    double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool convert_float32(PyObject* object, float& out) {
    double value = 0;
    if (!convert_float64(object, value)) return false;
    // IEEE 754 conversion in the default rounding mode: nearest, ties to even;
    // magnitudes beyond the binary32 range become infinities, and a NaN keeps
    // its sign and the top of its payload with the quiet bit set.
    out = static_cast<float>(value);
    return true;
}

bool convert_bool(PyObject* object, bool& out) {
    if (object == Py_True) {
        out = true;
        return true;
    }
    if (object == Py_False) {
        out = false;
        return true;
    }
    if (is_numpy_bool(object)) {
        PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
        if (!number || !number->nb_bool) {
            PyRef name(PyType_GetQualName(Py_TYPE(object)));
            if (name) {
                PyErr_Format(PyExc_TypeError,
                             "object of type '%U' does not define a '__bool__' conversion",
                             name.get());
            }
            return false;
        }
        int truth = number->nb_bool(object);
        if (truth < 0) return false;
        out = truth != 0;
        return true;
    }
    PyRef name(PyType_GetQualName(Py_TYPE(object)));
    raise_cast_error(name.get(), "bool");
    return false;
}

bool convert_bytes(PyObject* object, std::span<const std::uint8_t>& out) {
    if (!PyBytes_Check(object)) {
        raise_cannot_cast(object, "bytes");
        return false;
    }
    out = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object)),
           static_cast<std::size_t>(PyBytes_GET_SIZE(object))};
    return true;
}

bool convert_str(PyObject* object, std::string_view& out) {
    if (!PyUnicode_Check(object)) {
        raise_cannot_cast(object, "str");
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (!data) return false;
    out = {data, static_cast<std::size_t>(size)};
    return true;
}

PyRef convert_sequence(PyObject* object) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return PyRef();
    }
    if (!PySequence_Check(object)) {
        raise_cannot_cast(object, "Sequence");
        return PyRef();
    }
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) return PyRef::borrow(object);
    return PyRef(PySequence_List(object));
}

bool check_sequence(PyObject* object) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(object)) {
        raise_cannot_cast(object, "Sequence");
        return false;
    }
    return true;
}

void SequenceItems::release() noexcept {
    for (std::size_t i = 0; i < size_; ++i) Py_DECREF(data_[i]);
    size_ = 0;
}

// Copies the references of a list or tuple.  A list may change size under
// another thread on an interpreter without the GIL, so its items are copied
// under the list's own lock, into room made before taking it (no allocation,
// and so no exception, inside the section); under the GIL the section is
// empty and one round suffices.
bool SequenceItems::copy_references(PyObject* list_or_tuple) {
    std::size_t capacity = heap_ ? 0 : kInline;
    for (;;) {
        bool copied = false;
        Py_BEGIN_CRITICAL_SECTION(list_or_tuple);
        const auto count = static_cast<std::size_t>(Py_SIZE(list_or_tuple));
        if (count <= capacity) {
            PyObject** source = PySequence_Fast_ITEMS(list_or_tuple);
            for (std::size_t i = 0; i < count; ++i) data_[i] = Py_NewRef(source[i]);
            size_ = count;
            copied = true;
        }
        Py_END_CRITICAL_SECTION();
        if (copied) return true;
        capacity = static_cast<std::size_t>(Py_SIZE(list_or_tuple));
        heap_.reset(new (std::nothrow) PyObject*[capacity]);
        if (!heap_) {
            PyErr_NoMemory();
            return false;
        }
        data_ = heap_.get();
    }
}

bool SequenceItems::take(PyObject* sequence) {
    release();
    if (!check_sequence(sequence)) return false;
    if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) {
        return copy_references(sequence);
    }
    // Any other sequence is iterated once, into a list that only this call
    // holds.
    PyRef list(PySequence_List(sequence));
    return list && copy_references(list.get());
}

bool convert_byte_list(PyObject* object, std::vector<std::uint8_t>& storage,
                       std::span<const std::uint8_t>& out) {
    if (PyBytes_Check(object)) {
        out = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object)),
               static_cast<std::size_t>(PyBytes_GET_SIZE(object))};
        return true;
    }
    if (PyByteArray_Check(object)) {
        // A bytearray can be resized by another thread on an interpreter
        // without the GIL; its lock keeps size and content together.  (Under
        // the GIL the section is empty.)  No exception may leave the section.
        bool copied = true;
        Py_BEGIN_CRITICAL_SECTION(object);
        const auto* data = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(object));
        try {
            storage.assign(data, data + PyByteArray_GET_SIZE(object));
        } catch (const std::bad_alloc&) {
            copied = false;
        }
        Py_END_CRITICAL_SECTION();
        if (!copied) return raise_field_memory_error(static_cast<std::size_t>(PyByteArray_GET_SIZE(object)));
        out = storage;
        return true;
    }
    PyRef items = convert_sequence(object);
    if (!items) return false;
    // Item conversions may run Python code; iterate over a fixed snapshot.
    PyRef list(PySequence_List(items.get()));
    if (!list) return false;
    Py_ssize_t count = PyList_GET_SIZE(list.get());
    storage.clear();
    try {
        storage.reserve(static_cast<std::size_t>(count));
    } catch (const std::bad_alloc&) {
        return raise_field_memory_error(static_cast<std::size_t>(count));
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        std::int64_t value = 0;
        if (!convert_int64(PyList_GET_ITEM(list.get(), i), value)) return false;
        if (value < 0 || value > 255) {
            PyErr_SetString(PyExc_OverflowError, kOutOfRange);
            return false;
        }
        storage.push_back(static_cast<std::uint8_t>(value));
    }
    out = storage;
    return true;
}

void wrap_argument_error(const char* parameter) {
    PyObject* raised = PyErr_GetRaisedException();
    if (!raised) return;
    if (!Py_IS_TYPE(raised, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyErr_SetRaisedException(raised);
        return;
    }
    PyRef original(raised);
    PyRef text(PyObject_Str(original.get()));
    if (!text) return;
    PyRef message(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
    if (!message) return;
    PyRef wrapped(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!wrapped) return;
    if (PyObject* cause = PyException_GetCause(original.get())) {
        PyException_SetCause(wrapped.get(), cause);  // steals the reference
    }
    PyErr_SetRaisedException(wrapped.release());
}

}  // namespace bitloom
