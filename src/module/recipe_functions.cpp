#include "module/recipe_functions.hpp"

#include "engine/packet_parser.hpp"
#include "engine/packet_builder.hpp"

namespace bitloom {

PyObject* pack_parameters(Arguments& arguments) {
    ItemContext context;
    PyObject* packet = build_packet(arguments[0].items.get(), context);
    if (!packet) rewrap_engine_error(context);
    return packet;
}

PyObject* unpack_parameters(Arguments& arguments) {
    ItemContext context;
    PyObject* result =
        process_recipe(arguments[0].bytes, arguments[1].uint64, arguments[2].items.get(), context);
    if (!result) rewrap_engine_error(context);
    return result;
}

}  // namespace bitloom
