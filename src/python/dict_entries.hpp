// Dicts read entry by entry and result dicts of known keys, through the
// interpreter's public API only.
//
// A result dict whose keys are known before any value (a FrameCodec's
// field names) is a copy of a template that maps every key to None: the
// interpreter copies a dict of str keys by duplicating its table in one
// block, so the copy already has its final size and every key in place, and
// each value then replaces None under a key whose hash the str has cached
// and whose slot is found by identity.  Building the same dict from empty
// would resize its table twice for sixteen keys.
//
// Two variants were measured and left: a template taken from an instance's
// attribute dict (a split table: its copy duplicates only the values, and
// the copy's keys are shared) made FrameCodec.unpack slower on 3.14 and 3.15,
// since such a copy bypasses the dict free list and is always tracked by the
// cycle collector; and decoding every value before copying the template
// gained nothing.  What remains is the interpreter's own cost of one
// PyDict_SetItem per value.
#pragma once

#include <Python.h>

#include <cstddef>

namespace bitloom {

// Calls visit(key, value) for every entry of `dict` (a dict or a subclass)
// in insertion order until visit returns false; returns false when it did.
// No Python code may run meanwhile, and on an interpreter without the GIL
// the caller holds the dict's critical section.
template <class Visit>
bool for_each_entry(PyObject* dict, Visit&& visit) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    // The loop stops at the last entry instead of asking for one more: a
    // call less per dict, which for recipe items of six keys is a sixth of
    // the walk.
    for (Py_ssize_t left = PyDict_GET_SIZE(dict); left > 0 && PyDict_Next(dict, &position, &key, &value);
         --left) {
        if (!visit(key, value)) return false;
    }
    return true;
}

// A dict of known, distinct exact-str keys, copied for every result.
class DictTemplate {
  public:
    DictTemplate() = default;
    DictTemplate(const DictTemplate&) = delete;
    DictTemplate& operator=(const DictTemplate&) = delete;
    ~DictTemplate() {
        Py_XDECREF(dict_);
        Py_XDECREF(keys_);
    }

    // `keys` is a tuple of distinct exact str, interned by the caller so
    // that a key given by the user is most often the very same object.
    // False with an exception set.
    bool build(PyObject* keys);

    PyObject* keys() const noexcept { return keys_; }

  private:
    friend class DictFill;
    PyObject* dict_ = nullptr;  // every key mapped to None, in key order
    PyObject* keys_ = nullptr;  // the tuple given to build
};

// A new result dict: a copy of a template, whose value for the key at
// position `index` of the template's keys is then set once.
class DictFill {
  public:
    // `dict()` is null, with an exception set, when the copy failed.
    explicit DictFill(const DictTemplate& shape) : dict_(PyDict_Copy(shape.dict_)), keys_(shape.keys_) {}
    DictFill(const DictFill&) = delete;
    DictFill& operator=(const DictFill&) = delete;
    ~DictFill() { Py_XDECREF(dict_); }

    PyObject* dict() const noexcept { return dict_; }
    // Takes the reference to `value`.  False with an exception set.
    bool set(std::size_t index, PyObject* value) {
        if (!value) return false;
        const int status = PyDict_SetItem(dict_, PyTuple_GET_ITEM(keys_, static_cast<Py_ssize_t>(index)), value);
        Py_DECREF(value);
        return status == 0;
    }
    PyObject* release() noexcept {
        PyObject* dict = dict_;
        dict_ = nullptr;
        return dict;
    }

  private:
    PyObject* dict_ = nullptr;
    PyObject* keys_ = nullptr;  // borrowed from the template
};

}  // namespace bitloom
