// Dicts read and filled through their entries, where the interpreter lays
// them out as one array of (key, value) in insertion order: every key an
// exact str, values kept with their keys.  Reading a recipe
// item's entries that way costs no call per entry, and a result dict whose
// keys are known before any value is a copy of a template whose values are
// then written in place, with no hashing and no probing.
//
// Anything laid out otherwise (other keys, an instance's split attribute
// dict, an interpreter without the GIL, whose dicts another thread may change
// at any time, or one whose layout this build does not know) takes the
// public API instead, with the same result.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>

namespace bitloom {

// One entry of such a dict; the value is null where an entry was deleted.
struct DictEntry {
    PyObject* key;
    PyObject* value;
};

// The entries of `dict` (a dict or a subclass), in insertion order, or false
// when it is not laid out as one array of them.  They stay valid while no
// Python code runs and nothing changes the dict.
bool dict_entries(PyObject* dict, std::span<const DictEntry>& entries) noexcept;

// Calls visit(key, value) for every entry of `dict` (a dict or a subclass) in
// insertion order, through its entry array where it has one, else through
// PyDict_Next, until visit returns false; returns false when it did.  No
// Python code may run meanwhile.
template <class Visit>
bool for_each_entry(PyObject* dict, Visit&& visit) {
    std::span<const DictEntry> entries;
    if (dict_entries(dict, entries)) {
        for (const DictEntry& entry : entries) {
            if (entry.value && !visit(entry.key, entry.value)) return false;
        }
        return true;
    }
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    // The loop stops at the last entry instead of asking for one more.
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

    // `keys` is a tuple of distinct exact str.  False with an exception set.
    bool build(PyObject* keys);

    PyObject* keys() const noexcept { return keys_; }

  private:
    friend class DictFill;
    PyObject* dict_ = nullptr;  // every key mapped to None, in key order
    PyObject* keys_ = nullptr;  // the tuple given to build
    bool in_place_ = false;     // copies are filled through their entries
};

// A new result dict: a copy of a template, whose value for the key at
// position `index` of the template's keys is then set once.
class DictFill {
  public:
    // `dict()` is null, with an exception set, when the copy failed.
    explicit DictFill(const DictTemplate& shape);
    DictFill(const DictFill&) = delete;
    DictFill& operator=(const DictFill&) = delete;
    ~DictFill() { Py_XDECREF(dict_); }

    PyObject* dict() const noexcept { return dict_; }
    // Takes the reference to `value`.  False with an exception set.
    bool set(std::size_t index, PyObject* value);
    PyObject* release() noexcept {
        PyObject* dict = dict_;
        dict_ = nullptr;
        return dict;
    }

  private:
    PyObject* dict_ = nullptr;
    PyObject* keys_ = nullptr;  // borrowed from the template
    DictEntry* entries_ = nullptr;  // null: values go through PyDict_SetItem
};

}  // namespace bitloom
