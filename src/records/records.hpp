// Object and colour records: the six exported entry points, which bind the
// record codec to each record kind's delimiter and value reading.
#pragma once

#include "core/core.hpp"

namespace velk {

// One argument each, called the vectorcall way.
PyObject* py_object_convert(PyObject* module, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_object_dump(PyObject* module, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_object_collect(PyObject* module, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_color_convert(PyObject* module, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_color_dump(PyObject* module, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_color_collect(PyObject* module, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames);

}  // namespace velk
