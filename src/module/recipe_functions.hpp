// The two recipe module functions.  Their arguments are converted by the
// function table; every failure of the engine reaches the caller as
// ValueError "{type}: {text}" with a note naming the recipe item.
#pragma once

#include <Python.h>

#include "module/function_table.hpp"

namespace bitloom {

PyObject* pack_parameters(Arguments& arguments);
PyObject* unpack_parameters(Arguments& arguments);

}  // namespace bitloom
