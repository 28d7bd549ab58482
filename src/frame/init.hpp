// The create and exec functions of the module's multi-phase initialisation.
#pragma once

#include "core/core.hpp"

namespace velk {

PyObject* create_module(PyObject* spec, PyModuleDef* def);
int exec_module(PyObject* module);

}  // namespace velk
