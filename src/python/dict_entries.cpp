// The interpreter's dict layout is read here and nowhere else.  Its headers
// describe it only to the interpreter's own code, so they are included with
// that code's switch, in this file alone, and only for the interpreters whose
// layout was checked against the public behaviour (tests/test_frames.py and
// the recipe tests compare every result with the plain API's).
#include "python/dict_entries.hpp"

#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED) && \
    !defined(Py_LIMITED_API)
#define BITLOOM_DICT_LAYOUT 1
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wshadow"
#define Py_BUILD_CORE 1
#include <internal/pycore_dict.h>
#undef Py_BUILD_CORE
#pragma GCC diagnostic pop
#include <cstddef>
#else
#define BITLOOM_DICT_LAYOUT 0
#endif

namespace bitloom {

#if BITLOOM_DICT_LAYOUT
static_assert(sizeof(DictEntry) == sizeof(PyDictUnicodeEntry));
static_assert(offsetof(DictEntry, key) == offsetof(PyDictUnicodeEntry, me_key));
static_assert(offsetof(DictEntry, value) == offsetof(PyDictUnicodeEntry, me_value));

namespace {

// The entries of a dict whose keys are all exact str and whose values lie
// beside them, else null.
DictEntry* entry_array(PyObject* dict) noexcept {
    PyDictObject* object = reinterpret_cast<PyDictObject*>(dict);
    if (_PyDict_HasSplitTable(object) || !DK_IS_UNICODE(object->ma_keys)) return nullptr;
    return reinterpret_cast<DictEntry*>(DK_UNICODE_ENTRIES(object->ma_keys));
}

Py_ssize_t entry_count(PyObject* dict) noexcept {
    return reinterpret_cast<PyDictObject*>(dict)->ma_keys->dk_nentries;
}

}  // namespace
#endif

bool dict_entries(PyObject* dict, std::span<const DictEntry>& entries) noexcept {
#if BITLOOM_DICT_LAYOUT
    const DictEntry* array = entry_array(dict);
    if (!array) return false;
    entries = {array, static_cast<std::size_t>(entry_count(dict))};
    return true;
#else
    (void)dict;
    (void)entries;
    return false;
#endif
}

bool DictTemplate::build(PyObject* keys) {
    PyObject* dict = PyDict_New();
    if (!dict) return false;
    const Py_ssize_t count = PyTuple_GET_SIZE(keys);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyDict_SetItem(dict, PyTuple_GET_ITEM(keys, i), Py_None) < 0) {
            Py_DECREF(dict);
            return false;
        }
    }
    Py_XSETREF(dict_, dict);
    Py_XSETREF(keys_, Py_NewRef(keys));
    in_place_ = false;
#if BITLOOM_DICT_LAYOUT
    std::span<const DictEntry> entries;
    in_place_ = dict_entries(dict, entries) && entries.size() == static_cast<std::size_t>(count);
    for (std::size_t i = 0; in_place_ && i < entries.size(); ++i) {
        in_place_ = entries[i].key == PyTuple_GET_ITEM(keys, static_cast<Py_ssize_t>(i));
    }
#endif
    return true;
}

DictFill::DictFill(const DictTemplate& shape) : dict_(PyDict_Copy(shape.dict_)), keys_(shape.keys_) {
#if BITLOOM_DICT_LAYOUT
    // The copy's entries are the template's, in the template's order, when
    // its keys were cloned; any other copy fills through the public API.
    if (dict_ && shape.in_place_ && entry_count(dict_) == PyTuple_GET_SIZE(keys_) &&
        PyDict_GET_SIZE(dict_) == PyTuple_GET_SIZE(keys_)) {
        entries_ = entry_array(dict_);
    }
#endif
}

bool DictFill::set(std::size_t index, PyObject* value) {
    if (!value) return false;
    // A value that may hold references needs the dict tracked by the
    // collector, which the public API arranges; results are mostly ints,
    // floats, str and bytes, which hold none.
    if (entries_ && !PyObject_IS_GC(value)) {
        PyObject* previous = entries_[index].value;
        entries_[index].value = value;
        Py_DECREF(previous);
        return true;
    }
    const int status = PyDict_SetItem(dict_, PyTuple_GET_ITEM(keys_, static_cast<Py_ssize_t>(index)), value);
    Py_DECREF(value);
    return status == 0;
}

}  // namespace bitloom
