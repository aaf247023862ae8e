// The template dicts of known keys (see the header).
#include "python/dict_entries.hpp"

namespace bitloom {

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
    return true;
}

}  // namespace bitloom
