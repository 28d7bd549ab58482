// Record dumping: a dictionary of typed values into one of plain values,
// each normalised by its class and passed through its key's dumper.
#include "codec/codec.hpp"
#include "frame/frame.hpp"
#include "values/values.hpp"

namespace velk {

namespace {

// Whether the str `key` is the text key, "31".
bool is_text_key(PyObject* key) {
    return PyUnicode_GET_LENGTH(key) == 2 &&
           PyUnicode_KIND(key) == PyUnicode_1BYTE_KIND &&
           PyUnicode_1BYTE_DATA(key)[0] == '3' && PyUnicode_1BYTE_DATA(key)[1] == '1';
}

// Whether looking `key` up in `additional` could find anything or fail.
// Not for a str key, whose hash is known and cannot fail, in an empty table,
// nor in the module's own table of object records, which holds one dumper,
// under the text key, and never changes.
bool needs_lookup(PyObject* key, PyObject* additional) {
    if (!PyUnicode_CheckExact(key)) {
        return true;
    }
    if (additional == tables.OBJECT_ADDITIONAL.get()) {
        return is_text_key(key);
    }
    return PyDict_GET_SIZE(additional) != 0;
}

// The dumped form of one entry: its key's dumper, which `lookup` says may
// exist, applied to the normalised value.  A key without a dumper keeps the
// normalised value itself, the same object, which is all the identity
// dumper would do.
PyObject* dump_value(PyObject* key, PyObject* value, PyObject* additional,
                     bool lookup) {
    // The table may change while the value is normalised, so the dumper is
    // held from here on.
    Ref dumper;
    if (lookup) {
        dumper = Ref::borrow(PyDict_GetItemWithError(additional, key));
        if (!dumper && PyErr_Occurred()) {
            return nullptr;
        }
    }
    Ref normalised = Ref::steal(convert_type(value));
    if (!normalised) {
        return nullptr;
    }
    if (!dumper) {
        return normalised.release();
    }
    PyObject* args[] = {normalised.get()};
    return vectorcall(dumper.get(), args, 1, nullptr);
}

PyObject* dump_entries(PyObject* some_dict, PyObject* additional) {
    if (some_dict == Py_None) {
        return raise_none_attribute("items");
    }
    Py_ssize_t size = PyDict_GET_SIZE(some_dict);
    Ref result = Ref::steal(new_presized_dict(size));
    if (!result) {
        return nullptr;
    }
    Py_ssize_t pos = 0;
    PyObject *key_item, *value_item;
    for (;;) {
        if (PyDict_GET_SIZE(some_dict) != size) {
            PyErr_SetString(PyExc_RuntimeError,
                            "dictionary changed size during iteration");
            return nullptr;
        }
        if (!PyDict_Next(some_dict, &pos, &key_item, &value_item)) {
            return result.release();
        }
        if (additional == Py_None) {
            return raise_none_attribute("get");
        }
        bool lookup = needs_lookup(key_item, additional);
        if (!lookup && kept_as_is(value_item)) {
            // Most values of a record: nothing runs that could touch the
            // entry before it is stored as it is.
            if (PyDict_SetItem(result.get(), key_item, value_item) < 0) {
                return nullptr;
            }
            continue;
        }
        // Held across the calls back into Python, which may remove them.
        Ref key = Ref::borrow(key_item);
        Ref value = Ref::borrow(value_item);
        Ref dumped =
            Ref::steal(dump_value(key.get(), value.get(), additional, lookup));
        if (!dumped || PyDict_SetItem(result.get(), key.get(), dumped.get()) < 0) {
            return nullptr;
        }
    }
}

const char* const dump_params[] = {"some_dict", "additional"};
PyTypeObject* const dump_types[] = {&PyDict_Type, &PyDict_Type};
const Signature dump_signature = {"_dump", "_velkc._dump", dump_params,
                                  dump_types, 2, 1};

}  // namespace

PyObject* dump_record(PyObject* some_dict, PyObject* additional) {
    // Held for the whole walk: a dumper may drop the caller's reference, and
    // a retried initialisation replaces the module's own tables.
    Ref table = Ref::borrow(additional ? additional : empty_table.get());
    return traced("_velkc._dump", dump_entries(some_dict, table.get()));
}

PyObject* py_dump(PyObject*, PyObject* args, PyObject* kwds) {
    Ref values[2];
    if (bind_arguments(dump_signature, args, kwds, values) < 0) {
        return nullptr;
    }
    return dump_record(values[0].get(), values[1].get());
}

}  // namespace velk
