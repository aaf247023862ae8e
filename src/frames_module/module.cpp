// The entry point of bitloom._frames, the native half of bitloom.frames:
// the FrameCodec type and the column types.  Like the main module it is built once
// per process and shares the recipe-item reader and the conversions with
// it.
#include <Python.h>

#include <cstring>
#include <string_view>

#include "engine/recipe_items.hpp"
#include "python/module_state.hpp"
#include "frames_module/columns.hpp"
#include "frames_module/frame_codec.hpp"
#include "frames_module/packet_streams.hpp"
#include "python/errors.hpp"
#include "python/python_ref.hpp"

namespace bitloom::frames {

namespace {

PyMethodDef kFunctions[] = {
    {"_column", column_from_parts, METH_VARARGS, nullptr},
    {"_arrow_stream", arrow_stream_of, METH_VARARGS, nullptr},
    {"_arrow_schema", arrow_schema_of, METH_VARARGS, nullptr},
    {"_scan_packets", scan_packets_function, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT, "bitloom._frames", "", 0, kFunctions, nullptr, nullptr, nullptr, nullptr,
};

PyObject* g_module = nullptr;

// Initialisation writes process-wide state (the module object, the ready
// types, what the codecs look up once) under a lock, as the main module's
// does: nothing stops a direct second call of the entry point, and without
// the GIL two would race.  PyMutex_Lock detaches the thread state while it
// waits, so holding it across interpreter calls cannot deadlock.
PyMutex g_initialise_lock{};

PyObject* initialise_locked() {
    if (g_module) return Py_NewRef(g_module);
    if (!create_module_state() || !prepare_frame_codecs()) return nullptr;
    if (!ready_column_types() || PyType_Ready(&FrameCodecType) < 0) return nullptr;
    PyRef module(PyModule_Create(&g_definition));
    if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
    // Codecs never change after construction, and a column's values are
    // fixed when it is made (the memory its buffers export is read-only and
    // freed with the last column that shares it, by an atomic count); a
    // result is built by one call for its caller alone; the caller's dicts
    // and lists are read inside their critical sections or through
    // references taken with the interpreter's thread-safe accessors.
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) return nullptr;
#endif
    if (PyModule_AddObjectRef(module.get(), "FrameCodec", reinterpret_cast<PyObject*>(&FrameCodecType)) < 0 ||
        PyModule_AddObjectRef(module.get(), "Column", reinterpret_cast<PyObject*>(&NumericColumnType)) < 0 ||
        PyModule_AddObjectRef(module.get(), "StringColumn", reinterpret_cast<PyObject*>(&StringColumnType)) < 0 ||
        PyModule_AddObjectRef(module.get(), "BinaryColumn", reinterpret_cast<PyObject*>(&BinaryColumnType)) < 0 ||
        PyModule_AddObjectRef(module.get(), "ArrayColumn", reinterpret_cast<PyObject*>(&ArrayColumnType)) < 0 ||
        PyModule_AddObjectRef(module.get(), "ListColumn", reinterpret_cast<PyObject*>(&ListColumnType)) < 0) {
        return nullptr;
    }
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

}  // namespace bitloom::frames

PyMODINIT_FUNC PyInit__frames(void) {
    return bitloom::guard([] { return bitloom::frames::initialise(); });
}
