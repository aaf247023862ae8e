/* Floors: the least work any implementation of a benchmark case has to do in
 * the interpreter, written in plain C with nothing else in it, so that a
 * target can be checked against what is possible at all.
 *
 *   read_recipe(recipe, keys)          walks every recipe item dict once with
 *                                      PyDict_Next, matches each key against
 *                                      `keys` by identity and reads "bits" and
 *                                      an int "value" (the first and the last
 *                                      of `keys`)
 *   pack_floor(recipe, keys, size)     read_recipe, then a bytes object of
 *                                      `size` zero bytes: what pack_parameters
 *                                      must do at the least
 *   result_dict(names, values, buffer) takes the buffer, makes a fresh object
 *                                      equal to each of `values` and puts them
 *                                      in a dict presized for `names`: the
 *                                      result of an unpack and nothing else
 *   unpack_floor(recipe, keys, names, values, buffer)
 *                                      read_recipe, then result_dict: what
 *                                      unpack_parameters must do at the least
 *   new_int(value, bits, flag=False)   an extension function called like a
 *                                      scalar codec: it checks that its two
 *                                      arguments are exact ints of one digit
 *                                      and returns a new int of their sum,
 *                                      and nothing else
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static int read_recipe_items(PyObject* recipe, PyObject* keys) {
    const Py_ssize_t key_count = PyTuple_GET_SIZE(keys);
    PyObject* bits_key = PyTuple_GET_ITEM(keys, 0);
    PyObject* value_key = PyTuple_GET_ITEM(keys, key_count - 1);
    const Py_ssize_t count = PyList_GET_SIZE(recipe);
    long long sum = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GET_ITEM(recipe, i);
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(item, &position, &key, &value)) {
            for (Py_ssize_t k = 0; k < key_count; ++k) {
                if (key != PyTuple_GET_ITEM(keys, k)) continue;
                if ((key == bits_key || key == value_key) && PyLong_CheckExact(value)) {
                    int overflow = 0;
                    sum += PyLong_AsLongLongAndOverflow(value, &overflow);
                }
                break;
            }
        }
    }
    return sum == -1 && PyErr_Occurred() ? -1 : 0;
}

static PyObject* fresh_copy(PyObject* value) {
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (!overflow) return PyLong_FromLongLong(number);
        return PyLong_FromUnsignedLongLong(PyLong_AsUnsignedLongLong(value));
    }
    if (PyFloat_CheckExact(value)) return PyFloat_FromDouble(PyFloat_AS_DOUBLE(value));
    if (PyUnicode_CheckExact(value)) {
        return PyUnicode_FromKindAndData(PyUnicode_KIND(value), PyUnicode_DATA(value),
                                         PyUnicode_GET_LENGTH(value));
    }
    return PyBytes_FromStringAndSize(PyBytes_AsString(value), PyBytes_Size(value));
}

static PyObject* build_result(PyObject* names, PyObject* values, PyObject* buffer) {
    Py_buffer view;
    if (PyObject_GetBuffer(buffer, &view, PyBUF_SIMPLE) < 0) return NULL;
    PyBuffer_Release(&view);
    const Py_ssize_t count = PyTuple_GET_SIZE(names);
    PyObject* result = _PyDict_NewPresized(count);
    if (!result) return NULL;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* value = fresh_copy(PyTuple_GET_ITEM(values, i));
        if (!value || PyDict_SetItem(result, PyTuple_GET_ITEM(names, i), value) < 0) {
            Py_XDECREF(value);
            Py_DECREF(result);
            return NULL;
        }
        Py_DECREF(value);
    }
    return result;
}

static PyObject* read_recipe(PyObject* self, PyObject* const* args, Py_ssize_t count) {
    if (read_recipe_items(args[0], args[1]) < 0) return NULL;
    Py_RETURN_NONE;
}

static PyObject* pack_floor(PyObject* self, PyObject* const* args, Py_ssize_t count) {
    if (read_recipe_items(args[0], args[1]) < 0) return NULL;
    PyObject* packet = PyBytes_FromStringAndSize(NULL, PyLong_AsSsize_t(args[2]));
    if (packet) memset(PyBytes_AS_STRING(packet), 0, (size_t)PyBytes_GET_SIZE(packet));
    return packet;
}

static PyObject* result_dict(PyObject* self, PyObject* const* args, Py_ssize_t count) {
    return build_result(args[0], args[1], args[2]);
}

static PyObject* unpack_floor(PyObject* self, PyObject* const* args, Py_ssize_t count) {
    if (read_recipe_items(args[0], args[1]) < 0) return NULL;
    return build_result(args[2], args[3], args[4]);
}

static PyObject* new_int(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) {
    const Py_ssize_t count = PyVectorcall_NARGS(nargsf);
    if (kwnames || count < 2 || count > 3 || !PyLong_CheckExact(args[0]) ||
        !PyLong_CheckExact(args[1]) || !PyUnstable_Long_IsCompact((PyLongObject*)args[0]) ||
        !PyUnstable_Long_IsCompact((PyLongObject*)args[1])) {
        PyErr_SetString(PyExc_TypeError, "new_int takes two ints of one digit");
        return NULL;
    }
    return PyLong_FromLong((long)(PyUnstable_Long_CompactValue((PyLongObject*)args[0]) +
                                  PyUnstable_Long_CompactValue((PyLongObject*)args[1])));
}

static PyMethodDef methods[] = {
    {"read_recipe", (PyCFunction)(void (*)(void))read_recipe, METH_FASTCALL, NULL},
    {"pack_floor", (PyCFunction)(void (*)(void))pack_floor, METH_FASTCALL, NULL},
    {"result_dict", (PyCFunction)(void (*)(void))result_dict, METH_FASTCALL, NULL},
    {"unpack_floor", (PyCFunction)(void (*)(void))unpack_floor, METH_FASTCALL, NULL},
    {"new_int", (PyCFunction)(void (*)(void))new_int, METH_FASTCALL | METH_KEYWORDS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "floors", NULL, -1, methods};

PyMODINIT_FUNC PyInit_floors(void) { return PyModule_Create(&module); }
