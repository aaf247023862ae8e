// The module's one state: the objects it creates once and keeps for the life
// of the process (the interned recipe keys, the interned encoding names and
// the internal-fault exception type).  The module is built once per process
// (single-phase initialisation, no per-module state), so the state is one
// process-wide value, created by the module's initialisation before any
// function can be called and never torn down.  A second extension module
// that links the bridge creates it from its own initialisation in the same
// way.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "recipe/encoding_names.hpp"

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

// The interned str objects of one direction's encoding names, found by
// address.  Python interns the string literals of its code, so a recipe
// written as literals holds these very objects, and its names resolve
// without their text being hashed and compared.
class InternedNames {
  public:
    // The row whose name `name` is, when it is one of the interned objects.
    const EncodingNameRow* find(PyObject* name) const noexcept {
        for (std::size_t slot = slot_of(name);; slot = (slot + 1) % kSlots) {
            if (slots_[slot].name == name) return slots_[slot].row;
            if (!slots_[slot].name) return nullptr;
        }
    }
    // `name` is borrowed: the caller keeps it alive for as long as the table.
    void add(PyObject* name, const EncodingNameRow* row) noexcept {
        std::size_t slot = slot_of(name);
        while (slots_[slot].name && slots_[slot].name != name) slot = (slot + 1) % kSlots;
        slots_[slot] = {name, row};
    }

  private:
    // About four times the names of a table, so that the walk stays short.
    static constexpr std::size_t kSlots = 256;
    struct Slot {
        PyObject* name = nullptr;
        const EncodingNameRow* row = nullptr;
    };
    static std::size_t slot_of(PyObject* name) noexcept {
        // Objects are 16-byte aligned; the multiplication spreads the rest.
        return static_cast<std::size_t>(((reinterpret_cast<std::uintptr_t>(name) >> 4) *
                                         0x9E3779B97F4A7C15ull) >> 56);
    }
    std::array<Slot, kSlots> slots_{};
};

struct ModuleState {
    std::array<PyObject*, kRecipeKeyCount> keys{};  // interned str objects
    PyObject* internal_error = nullptr;             // derives from BaseException
    std::array<InternedNames, 2> encoding_names;    // by NameDirection
};

// Creates the state on first use; false with the exception raised.  Calls
// after a success return true at once.
bool create_module_state();

namespace module_state_detail {
extern ModuleState state;
}

// The state; its members are null until create_module_state succeeds.
inline const ModuleState& module_state() noexcept { return module_state_detail::state; }

inline const InternedNames& interned_encoding_names(NameDirection direction) noexcept {
    return module_state().encoding_names[static_cast<std::size_t>(direction)];
}

inline PyObject* recipe_key(RecipeKey key) noexcept {
    return module_state().keys[static_cast<std::size_t>(key)];
}

}  // namespace bitloom
