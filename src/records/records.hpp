// Object and colour records: the six exported entry points, which bind the
// record codec to each record kind's delimiter and value converter.
#pragma once

#include "core/core.hpp"

namespace velk {

// A colour record's value text read by its key.
PyObject* parse_color(PyObject* key, PyObject* value);
// The same straight from a one-byte text, where the key and text allow it.
bool colour_from_text(int key_number, const Py_UCS1* text, Py_ssize_t size,
                      PyObject** out);

// The pair adapters of both record kinds, made at initialisation.
int create_record_adapters();

PyObject* py_object_convert(PyObject* module, PyObject* string);
PyObject* py_object_dump(PyObject* module, PyObject* some_dict);
PyObject* py_object_collect(PyObject* module, PyObject* some_dict);
PyObject* py_color_convert(PyObject* module, PyObject* string);
PyObject* py_color_dump(PyObject* module, PyObject* some_dict);
PyObject* py_color_collect(PyObject* module, PyObject* some_dict);

}  // namespace velk
