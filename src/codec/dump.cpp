// Record dumping: a dictionary of typed values into one of plain values,
// each normalised by its class and passed through its key's dumper.
#include "codec/codec.hpp"
#include "frame/frame.hpp"
#include "values/values.hpp"

namespace velk {

namespace {

// The dumped form of one entry: its key's dumper applied to the normalised
// value.  A key without a dumper keeps the normalised value itself, the same
// object, which is all the identity dumper would do.
PyObject* dump_value(PyObject* key, PyObject* value, PyObject* additional) {
    if (additional == Py_None) {
        return raise_none_attribute("get");
    }
    // The table may change while the value is normalised, so the dumper is
    // held from here on.  An empty table needs no lookup for a str key,
    // whose hash is known and cannot fail.
    Ref dumper;
    if (PyDict_GET_SIZE(additional) != 0 || !PyUnicode_CheckExact(key)) {
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
        // Held across the calls back into Python, which may remove them.
        Ref key = Ref::borrow(key_item);
        Ref value = Ref::borrow(value_item);
        Ref dumped = Ref::steal(dump_value(key.get(), value.get(), additional));
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
    return traced("_velkc._dump",
                  dump_entries(some_dict, additional ? additional : empty_table));
}

PyObject* py_dump(PyObject*, PyObject* args, PyObject* kwds) {
    Ref values[2];
    if (bind_arguments(dump_signature, args, kwds, values) < 0) {
        return nullptr;
    }
    return dump_record(values[0].get(), values[1].get());
}

}  // namespace velk
