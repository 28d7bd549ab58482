// Value codecs: single values between their record text and typed form, and
// the conversions that choose one by key (reading) or by class (dumping).
#pragma once

#include "core/core.hpp"
#include "frame/frame.hpp"

namespace velk {

// The plain texts that need no host parser: digits with an optional "-"
// (at most 18), and short texts of a decimal float.  True when the text is
// one and *number was set; false leaves it to int() or float().
bool read_plain_integer(const Py_UCS1* text, Py_ssize_t size, long long* number);
bool read_plain_float(const Py_UCS1* text, Py_ssize_t size, double* number);

// int(text) and _maybefloat(text) straight from a one-byte text when it is
// plain: true when *out was set (nullptr with an exception set on failure),
// false when the reading needs the str and the host's parser.
bool integer_in_place(const Py_UCS1* text, Py_ssize_t size, PyObject** out);
bool number_in_place(const Py_UCS1* text, Py_ssize_t size, PyObject** out);

// int(string), base 10, with the host's rules and messages.
PyObject* parse_int(PyObject* string);
// An int, or a float when the text holds ".".
PyObject* maybefloat(PyObject* string);
// True exactly when `string` is the text "1" (None is false).
bool is_true_flag(PyObject* string);
// The set of the ints of a "."-separated list; "" and None give set().
PyObject* ints_from_str(PyObject* string);
// `set`, a new set of ints (or nullptr), made untracked by the garbage
// collector; see untracked.cpp.  Returns `set`.
PyObject* untracked_ints(PyObject* set);
// Whether `value` is one of the companion values that hold nothing which
// could refer back to a record: an HSV value, or a member of PlayerColor or
// of an enumeration that the tables name.  See untracked.cpp.
bool holds_no_record(PyObject* value);
// Whether `value` could take part in a cycle through a record that holds
// it.  A record that holds no such value is handed out untracked.
inline bool may_refer_back(PyObject* value) {
    return PyObject_IS_GC(value) && gc_is_tracked(value) && !holds_no_record(value);
}
// The classes whose instances `holds_no_record`: forgotten when the module
// initialises, then noted one by one (the companion HSV class, PlayerColor,
// the enumeration classes of the tables).
void forget_classes_holding_no_record();
void note_class_holding_no_record(PyObject* cls);
// Coder.do_base64(string, encode=...) as a str or None, or `string` itself
// when that fails with an Exception.
PyObject* b64_failsafe(PyObject* string, bool encode);
// A collection joined into one value text.
PyObject* iter_to_str(PyObject* collection);

// A record's value text read by its key, as the tables of its kind of
// record say: `_from_str` of object records, `_parse_color` of colour
// records.  New reference.
PyObject* read_by_key(RecordKind kind, PyObject* key, PyObject* value);
// The same read in place, from the characters of a one-byte string, given
// the key's property number (0 for any other key), so that no str need be
// made for the value: true when *out was set (nullptr with an exception set
// on failure), false when the key or the text needs `read_by_key`.
bool read_in_place(RecordKind kind, int key_number, const Py_UCS1* text,
                   Py_ssize_t size, PyObject** out);

// A typed value made ready to print, by its class.
PyObject* convert_type(PyObject* value);
// Whether `convert_type` is sure to give back `value` itself and to run no
// code on the way: an exact int, float or str, or None, while Enum is bound
// to neither its class nor object.  False when that takes more than a look.
bool kept_as_is(PyObject* value);
// Looks up, once the tables are built, what `_MAPPING` holds for the
// builtin classes.  Returns 0 or -1.
int cache_builtin_mappings();

// The exported `_iter_to_str` (one argument, called the vectorcall way).
PyObject* py_iter_to_str(PyObject* module, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames);

}  // namespace velk
