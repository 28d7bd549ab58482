// Byte XOR: every byte of a byte string combined with a one-byte key.
#pragma once

#include "core/core.hpp"

namespace velk {

// The exported `byte_xor(stream, key)`.
PyObject* py_byte_xor(PyObject* module, PyObject* args, PyObject* kwds);

}  // namespace velk
