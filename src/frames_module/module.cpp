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
#include "python/errors.hpp"
#include "python/python_ref.hpp"

namespace bitloom::frames {

namespace {

PyMethodDef kFunctions[] = {
    {"_column", column_from_parts, METH_VARARGS, nullptr},
    {"_arrow_stream", arrow_stream_of, METH_VARARGS, nullptr},
    {"_arrow_schema", arrow_schema_of, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT, "bitloom._frames", "", 0, kFunctions, nullptr, nullptr, nullptr, nullptr,
};

PyObject* g_module = nullptr;

PyObject* initialise() {
    if (g_module) return Py_NewRef(g_module);
    if (!create_module_state()) return nullptr;
    if (!ready_column_types() || PyType_Ready(&FrameCodecType) < 0) return nullptr;
    PyRef module(PyModule_Create(&g_definition));
    if (!module) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "FrameCodec", reinterpret_cast<PyObject*>(&FrameCodecType)) < 0 ||
        PyModule_AddObjectRef(module.get(), "Column", reinterpret_cast<PyObject*>(&NumericColumnType)) < 0 ||
        PyModule_AddObjectRef(module.get(), "StringColumn", reinterpret_cast<PyObject*>(&StringColumnType)) < 0 ||
        PyModule_AddObjectRef(module.get(), "BinaryColumn", reinterpret_cast<PyObject*>(&BinaryColumnType)) < 0) {
        return nullptr;
    }
    g_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

}  // namespace bitloom::frames

PyMODINIT_FUNC PyInit__frames(void) {
    return bitloom::guard([] { return bitloom::frames::initialise(); });
}
