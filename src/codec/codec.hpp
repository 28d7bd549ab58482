// The record codec: splitting a record string into converted pairs, dumping
// typed values to plain ones, and joining a dictionary into a record string.
//
// `convert_record`, `dump_record` and `collect_record` are the internal
// entries, called by the module with already-typed arguments; the py_*
// functions are the exported entries, which bind and check Python arguments.
#pragma once

#include "core/core.hpp"
#include "frame/frame.hpp"

namespace velk {

// What becomes of each pair's value when a record is split: kept as text,
// passed to a Python callable as func(key, value), or read by the module's
// own reading of one kind of record, which needs no Python object.
class PairConverter {
public:
    // `func`, or no conversion at all when it is nullptr or None.  `func` is
    // held for as long as the converter lives, whatever the calls do.
    static PairConverter calling(PyObject* func) {
        PairConverter converter;
        if (func != nullptr && func != Py_None) {
            converter.callable_ = Ref::borrow(func);
        }
        return converter;
    }
    static PairConverter reading(RecordKind kind) {
        PairConverter converter;
        converter.reads_ = true;
        converter.kind_ = kind;
        return converter;
    }

    // The stored value of one pair (new reference).
    PyObject* operator()(PyObject* key, PyObject* value) const;
    // The stored value read in place, where the module's reading allows it
    // (see `read_in_place`); false when the value must be made a str first.
    bool in_place(int key_number, const Py_UCS1* text, Py_ssize_t size,
                  PyObject** out) const;

private:
    PairConverter() = default;
    Ref callable_;
    bool reads_ = false;
    RecordKind kind_ = RecordKind::object;
};

// `string` split on `delim` (nullptr: "_") into key, value pairs, each value
// made by `convert`.  A new dict.
PyObject* convert_record(PyObject* string, PyObject* delim,
                         const PairConverter& convert);

// The values of `some_dict` normalised and passed through the dumpers of
// `additional` (nullptr: the shared empty table).  A new dict.
PyObject* dump_record(PyObject* some_dict, PyObject* additional);

// Keys and values of `some_dict`, as text, joined by `delim` (nullptr: "_").
PyObject* collect_record(PyObject* some_dict, PyObject* delim);

PyObject* py_convert(PyObject* module, PyObject* args, PyObject* kwds);
PyObject* py_dump(PyObject* module, PyObject* args, PyObject* kwds);
PyObject* py_collect(PyObject* module, PyObject* args, PyObject* kwds);

// The text dumper of object records, the one entry of `_OBJECT_ADDITIONAL`:
// a function of one argument, named "lambda", that base64-encodes a str.
// New reference.
PyObject* make_text_dumper();

}  // namespace velk
