// The two recipe functions: the engine runs inside a recursion guard (hooks
// that call these functions again from a conversion raise RecursionError
// instead of exhausting the C stack), and its failures are rewrapped.
#include "module/recipe_functions.hpp"

#include "engine/packet_builder.hpp"
#include "engine/packet_parser.hpp"

namespace bitloom {

PyObject* pack_parameters(Arguments& arguments) {
    if (Py_EnterRecursiveCall(" in pack_parameters")) return nullptr;
    ItemContext context;
    PyObject* packet =
        run_engine([&] { return build_packet(arguments[0].items.items(), context); });
    Py_LeaveRecursiveCall();
    if (!packet) rewrap_engine_error(context);
    return packet;
}

PyObject* unpack_parameters(Arguments& arguments) {
    if (Py_EnterRecursiveCall(" in unpack_parameters")) return nullptr;
    ItemContext context;
    PyObject* result = run_engine([&] {
        return process_recipe(arguments[0].bytes, arguments[1].uint64, arguments[2].items.items(),
                              context);
    });
    Py_LeaveRecursiveCall();
    if (!result) rewrap_engine_error(context);
    return result;
}

}  // namespace bitloom
