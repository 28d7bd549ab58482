// Value codecs: single values between their record text and typed form, and
// the conversions that choose one by key (reading) or by class (dumping).
#pragma once

#include "core/core.hpp"

namespace velk {

// int(string), base 10, with the host's rules and messages.
PyObject* parse_int(PyObject* string);
// An int, or a float when the text holds ".".
PyObject* maybefloat(PyObject* string);
// True exactly when `string` is the text "1" (None is false).
bool is_true_flag(PyObject* string);
// The set of the ints of a "."-separated list; "" and None give set().
PyObject* ints_from_str(PyObject* string);
// Coder.do_base64(string, encode=...) as a str or None, or `string` itself
// when that fails with an Exception.
PyObject* b64_failsafe(PyObject* string, bool encode);
// A collection joined into one value text.
PyObject* iter_to_str(PyObject* collection);

// HSV.from_string(value), with HSV as the module's namespace binds it now.
PyObject* read_hsv(PyObject* value);
// cls(int(value)): the member of an enumeration class.
PyObject* read_member(PyObject* cls, PyObject* value);

// An object record's value text read by its key.
PyObject* from_str(PyObject* key, PyObject* value);
// A typed value made ready to print, by its class.
PyObject* convert_type(PyObject* value);
// Looks up, once the tables are built, what `_MAPPING` holds for the
// builtin classes.  Returns 0 or -1.
int cache_builtin_mappings();

// The exported `_iter_to_str` (one argument).
PyObject* py_iter_to_str(PyObject* module, PyObject* collection);

}  // namespace velk
