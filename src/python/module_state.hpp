// The module's one state: the objects it creates once and keeps for the life
// of the process (the interned recipe keys and the internal-fault exception
// type).  The module is built once per process (single-phase
// initialisation, no per-module state), so the state is one process-wide
// value, created by the module's initialisation before any function can be
// called and never torn down.  A second extension module that links the
// bridge creates it from its own initialisation in the same way.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

namespace bitloom {

// The keys of a recipe item, in the order the engine reads them.
enum class RecipeKey : std::size_t {
    name,
    encoding,
    bits,
    byte_order,
    reverse_bits,
    offset_bits,
    value,
};
inline constexpr std::size_t kRecipeKeyCount = 7;
inline constexpr std::array<const char*, kRecipeKeyCount> kRecipeKeyTexts{
    "name", "encoding", "bits", "byte_order", "reverse_bits", "offset_bits", "value"};

struct ModuleState {
    std::array<PyObject*, kRecipeKeyCount> keys{};  // interned str objects
    PyObject* internal_error = nullptr;             // derives from BaseException
};

// Creates the state on first use; false with the exception raised.  Calls
// after a success return true at once.
bool create_module_state();

namespace module_state_detail {
extern ModuleState state;
}

// The state; its members are null until create_module_state succeeds.
inline const ModuleState& module_state() noexcept { return module_state_detail::state; }

inline PyObject* recipe_key(RecipeKey key) noexcept {
    return module_state().keys[static_cast<std::size_t>(key)];
}

}  // namespace bitloom
