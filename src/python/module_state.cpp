#include "python/module_state.hpp"

#include "python/python_ref.hpp"

namespace bitloom {

namespace module_state_detail {
ModuleState state;
}

namespace {
ModuleState& g_state = module_state_detail::state;
}  // namespace

bool create_module_state() {
    if (g_state.internal_error) return true;
    // Everything is made first and stored only when all of it exists, so a
    // failure leaves the state empty and a later import starts again.
    std::array<PyRef, kRecipeKeyCount> keys;
    for (std::size_t i = 0; i < kRecipeKeyCount; ++i) {
        keys[i] = PyRef(PyUnicode_InternFromString(kRecipeKeyTexts[i]));
        if (!keys[i]) return false;
    }
    // The names of both tables, each text interned once (many are in both);
    // the references are kept for the life of the process.
    std::array<PyRef, 2 * kEncodingNamesPerTable> names;
    std::size_t named = 0;
    std::array<InternedNames, 2> encoding_names;
    for (NameDirection direction : {NameDirection::packing, NameDirection::unpacking}) {
        for (std::size_t i = 0; i < kEncodingNamesPerTable; ++i) {
            const EncodingNameRow* row = encoding_name_row(direction, i);
            const std::string_view text = encoding_row_name(row);
            PyObject* name = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
            if (!name) return false;
            PyUnicode_InternInPlace(&name);
            names[named++] = PyRef(name);
            encoding_names[static_cast<std::size_t>(direction)].add(name, row);
        }
    }
    PyRef internal_error(PyErr_NewExceptionWithDoc(
        "bitloom.InternalError",
        "A broken invariant inside bitloom; please report it with the input that caused it.",
        PyExc_BaseException, nullptr));
    if (!internal_error) return false;
    for (std::size_t i = 0; i < kRecipeKeyCount; ++i) g_state.keys[i] = keys[i].release();
    for (PyRef& name : names) name.release();
    g_state.encoding_names = encoding_names;
    g_state.internal_error = internal_error.release();
    return true;
}

}  // namespace bitloom
