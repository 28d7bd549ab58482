// Object and colour records: the six exported entry points, which bind the
// record codec to each record kind's delimiter and value reading.
#pragma once

#include "core/core.hpp"

namespace velk {

PyObject* py_object_convert(PyObject* module, PyObject* string);
PyObject* py_object_dump(PyObject* module, PyObject* some_dict);
PyObject* py_object_collect(PyObject* module, PyObject* some_dict);
PyObject* py_color_convert(PyObject* module, PyObject* string);
PyObject* py_color_dump(PyObject* module, PyObject* some_dict);
PyObject* py_color_collect(PyObject* module, PyObject* some_dict);

}  // namespace velk
