// Packet streams: the scan that frames a stream's packets by their length
// field and gathers the packets of each key, for bitloom.frames.PacketStream.
#pragma once

#include <Python.h>

namespace bitloom::frames {

PyObject* scan_packets_function(PyObject* module, PyObject* args);

}  // namespace bitloom::frames
