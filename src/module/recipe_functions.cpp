// The two recipe functions.  The engine runs inside a recursion guard, so
// that hooks calling these functions again from a conversion raise
// RecursionError instead of exhausting the C stack, and its failures are
// rewrapped.  The usual recipe's one pass runs no hook and raises nothing,
// and needs neither.
#include "module/recipe_functions.hpp"

#include "engine/packet_builder.hpp"
#include "engine/packet_parser.hpp"
#include "python/conversions.hpp"

namespace bitloom {

namespace {

// One level of re-entry through a hook costs the interpreter's frames for
// the hook and the call as well as the engine's own: about 2 KiB of C stack,
// and more in builds with AddressSanitizer's padded frames, against the few
// hundred bytes the interpreter's recursion count assumes per unit.  Each
// level is therefore counted three times, so that the interpreter's limit
// ends deep re-entry at about the same depth in every build; what keeps the
// stack itself from running out, whatever the count, is the entry's check of
// the stack (python/stack_room.hpp).
constexpr int kRecursionWeight = 3;

class RecursionGuard {
  public:
    explicit RecursionGuard(const char* where) noexcept {
        while (entered_ < kRecursionWeight && Py_EnterRecursiveCall(where) == 0) ++entered_;
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    ~RecursionGuard() {
        for (int i = 0; i < entered_; ++i) Py_LeaveRecursiveCall();
    }
    // False with RecursionError raised.
    bool entered() const noexcept { return entered_ == kRecursionWeight; }

  private:
    int entered_ = 0;
};

// The recipe argument, converted last (it is the last parameter of both
// functions): its items become the call's own references here, once.
bool take_recipe(const char* parameter, PyObject* recipe, SequenceItems& items) {
    if (items.take(recipe)) return true;
    wrap_argument_error(parameter);
    return false;
}

}  // namespace

PyObject* pack_parameters(Arguments& arguments) {
    // The usual recipe, a list or tuple of usual items, is packed straight
    // from the list's own items under the GIL: the pass runs no Python code,
    // so nothing can change the list or re-enter this function meanwhile,
    // and neither the call's own references nor the recursion guard are
    // needed (the entry has checked the stack).  Without the GIL another
    // thread may change the list at any time, so there the pass reads the
    // call's own references, which the general path then reuses.
    PyObject* recipe = arguments[0].object;
    const bool list_or_tuple = PyList_CheckExact(recipe) || PyTuple_CheckExact(recipe);
    if (kScansMayBeBorrowed && list_or_tuple) {
        const std::span<PyObject* const> borrowed(PySequence_Fast_ITEMS(recipe),
                                                  static_cast<std::size_t>(Py_SIZE(recipe)));
        if (PyObject* packet = build_usual_packet(borrowed)) return packet;
    }
    SequenceItems items;
    if (!take_recipe("recipe", recipe, items)) return nullptr;
    if (!kScansMayBeBorrowed && list_or_tuple) {
        if (PyObject* packet = build_usual_packet(items.items())) return packet;
    }
    RecursionGuard guard(" in pack_parameters");
    if (!guard.entered()) return nullptr;
    ItemContext context;
    PyObject* packet = run_engine([&] { return build_packet(items.items(), context); });
    if (!packet) rewrap_engine_error(context);
    return packet;
}

PyObject* unpack_parameters(Arguments& arguments) {
    // As pack_parameters.
    PyObject* recipe = arguments[2].object;
    const bool list_or_tuple = PyList_CheckExact(recipe) || PyTuple_CheckExact(recipe);
    if (kScansMayBeBorrowed && list_or_tuple) {
        const std::span<PyObject* const> borrowed(PySequence_Fast_ITEMS(recipe),
                                                  static_cast<std::size_t>(Py_SIZE(recipe)));
        if (PyObject* result = process_usual_recipe(arguments[0].bytes, arguments[1].uint64, borrowed)) {
            return result;
        }
    }
    SequenceItems items;
    if (!take_recipe("recipe", recipe, items)) return nullptr;
    if (!kScansMayBeBorrowed && list_or_tuple) {
        if (PyObject* result = process_usual_recipe(arguments[0].bytes, arguments[1].uint64, items.items())) {
            return result;
        }
    }
    RecursionGuard guard(" in unpack_parameters");
    if (!guard.entered()) return nullptr;
    ItemContext context;
    PyObject* result = run_engine([&] {
        return process_recipe(arguments[0].bytes, arguments[1].uint64, items.items(), context);
    });
    if (!result) rewrap_engine_error(context);
    return result;
}

}  // namespace bitloom
