// The entry point.  The module is built once per process from a static
// definition (single-phase initialisation) and refuses a second interpreter:
// the routines keep no state, but the module object and its functions are
// shared process-wide.
#include <Python.h>

#include <array>
#include <atomic>
#include <string>

#include "python/errors.hpp"
#include "python/module_state.hpp"
#include "module/function_table.hpp"
#include "python/python_ref.hpp"

namespace bitloom {

namespace {

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "bitloom",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;

// Method definitions and docstrings must outlive the function objects.
std::array<PyMethodDef, kFunctionCount> g_methods{};
std::array<std::string, kFunctionCount> g_docstrings;

std::string text_signature(const FunctionRow& row) {
    std::string text = row.name;
    text += '(';
    for (std::size_t i = 0; i < row.parameter_count; ++i) {
        if (i > 0) text += ", ";
        text += row.parameters[i];
        if (i >= row.required_count) text += "=False";
    }
    text += ")\n--\n\n";
    return text;
}

bool append_to_all(PyObject* module, PyObject* name) {
    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    return PyList_Append(all.get(), name) == 0;
}

bool register_functions(PyObject* module) {
    PyRef module_name(PyUnicode_FromString(g_definition.m_name));
    if (!module_name) return false;
    auto rows = function_rows();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const FunctionRow& row = rows[i];
        g_docstrings[i] = text_signature(row);
        g_methods[i] = PyMethodDef{row.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function_entry(i))),
                                   METH_FASTCALL | METH_KEYWORDS, g_docstrings[i].c_str()};
        PyRef function(PyCMethod_New(&g_methods[i], module, module_name.get(), nullptr));
        if (!function) return false;
        PyRef name(PyObject_GetAttrString(function.get(), "__name__"));
        if (!name || !append_to_all(module, name.get())) return false;
        if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return false;
    }
    return true;
}

// Initialisation writes process-wide state (the module object, the method
// table, the interned recipe keys, the internal-fault type) once.  The import
// machinery serialises imports of one name, but nothing stops a direct second
// call of the entry point; on an interpreter without the GIL the two would
// race.  PyMutex_Lock detaches the thread state while it waits, so holding
// it across the interpreter calls below cannot deadlock.
PyMutex g_initialise_lock{};

PyObject* initialise_locked() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id < 0) return nullptr;
    std::int64_t expected = -1;
    if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "bitloom cannot be imported into a second interpreter of the same "
                        "process; sub-interpreters are not supported");
        return nullptr;
    }
    if (g_module) return Py_NewRef(g_module);
    if (!create_module_state()) return nullptr;
    PyRef module(PyModule_Create2(&g_definition, PYTHON_API_VERSION));
    if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
    // Calls keep no shared mutable state: every routine works on its own
    // values, and recipe lists and dicts are read through references taken
    // with the interpreter's thread-safe accessors.
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) return nullptr;
#endif
    if (!register_functions(module.get())) return nullptr;
    g_module = Py_NewRef(module.get());
    return module.release();
}

PyObject* initialise() {
    PyMutex_Lock(&g_initialise_lock);
    PyObject* module = nullptr;
    try {
        module = initialise_locked();
    } catch (...) {
        PyMutex_Unlock(&g_initialise_lock);
        throw;
    }
    PyMutex_Unlock(&g_initialise_lock);
    return module;
}

}  // namespace

}  // namespace bitloom

PyMODINIT_FUNC PyInit_bitloom(void) {
    return bitloom::guard([] { return bitloom::initialise(); });
}
