// The record codec: splitting a record string into converted pairs, dumping
// typed values to plain ones, joining a dictionary into a record string, and
// the callables through which the module hands its own converters to it.
//
// `convert_record`, `dump_record` and `collect_record` are the internal
// entries, called by the module with already-typed arguments; the py_*
// functions are the exported entries, which bind and check Python arguments.
#pragma once

#include "core/core.hpp"

namespace velk {

// An internal converter of one record pair: key and value are str (or
// None); returns the stored value (new reference) or nullptr.
using PairFunction = PyObject* (*)(PyObject* key, PyObject* value);
// The same converter, given the key's property number (0 for any other
// key), reading the value straight from the characters of a one-byte
// string, so that no str need be made for it: true when *out was set
// (nullptr with an exception set on failure), false when this key or text
// needs the PairFunction.
using TextFunction = bool (*)(int key_number, const Py_UCS1* text,
                              Py_ssize_t size, PyObject** out);

// `string` split on `delim` (nullptr: "_") into key, value pairs, each value
// replaced by func(key, value) unless `func` is nullptr or None.  A new dict.
PyObject* convert_record(PyObject* string, PyObject* delim, PyObject* func);

// The values of `some_dict` normalised and passed through the dumpers of
// `additional` (nullptr: the shared empty table).  A new dict.
PyObject* dump_record(PyObject* some_dict, PyObject* additional);

// Keys and values of `some_dict`, as text, joined by `delim` (nullptr: "_").
PyObject* collect_record(PyObject* some_dict, PyObject* delim);

PyObject* py_convert(PyObject* module, PyObject* args, PyObject* kwds);
PyObject* py_dump(PyObject* module, PyObject* args, PyObject* kwds);
PyObject* py_collect(PyObject* module, PyObject* args, PyObject* kwds);

// ---- Adapters --------------------------------------------------------------

// Creates the adapters' type.  Returns 0 or -1.
int create_adapters();

// A callable `wrap(key, value)` that runs `function` (new reference);
// `direct` is its reading of one-byte text, used by the record scanner.
PyObject* make_pair_adapter(PairFunction function, TextFunction direct);
// The text dumper of object records: base64-encodes a str (new reference).
PyObject* make_text_dumper();

// The internal functions behind a pair adapter; false when `func` is not
// one of the module's pair adapters.
bool pair_adapter_functions(PyObject* func, PairFunction* function,
                            TextFunction* direct);

// Calls `dumper` on `value`, directly when it is the module's own; with
// `dumper` nullptr (the identity) the value is kept.  New reference.
PyObject* apply_dumper(PyObject* dumper, PyObject* value);

}  // namespace velk
