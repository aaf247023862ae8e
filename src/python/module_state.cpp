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
    PyRef internal_error(PyErr_NewExceptionWithDoc(
        "bitloom.InternalError",
        "A broken invariant inside bitloom; please report it with the input that caused it.",
        PyExc_BaseException, nullptr));
    if (!internal_error) return false;
    for (std::size_t i = 0; i < kRecipeKeyCount; ++i) g_state.keys[i] = keys[i].release();
    g_state.internal_error = internal_error.release();
    return true;
}

}  // namespace bitloom
