// Record joining: the keys and values of a dictionary, each as its str()
// text, joined by a delimiter.
#include "codec/codec.hpp"
#include "codec/text_writer.hpp"
#include "frame/frame.hpp"

namespace velk {

namespace {

// The texts of the keys and values in the order that `chain.from_iterable`
// over the dictionary's items gives them: what the items view reports when
// the dictionary changes under it is reported here too.
int dictionary_texts(PyObject* some_dict, Joiner& texts) {
    Py_ssize_t size = PyDict_GET_SIZE(some_dict);
    Py_ssize_t remaining = size;
    Py_ssize_t pos = 0;
    PyObject *key_item, *value_item;
    for (;;) {
        if (PyDict_GET_SIZE(some_dict) != size) {
            PyErr_SetString(PyExc_RuntimeError,
                            "dictionary changed size during iteration");
            return -1;
        }
        if (!PyDict_Next(some_dict, &pos, &key_item, &value_item)) {
            return 0;
        }
        if (remaining-- == 0) {
            PyErr_SetString(PyExc_RuntimeError,
                            "dictionary keys changed during iteration");
            return -1;
        }
        // str() of the key may run code that drops the value.
        Ref key = Ref::borrow(key_item);
        Ref value = Ref::borrow(value_item);
        if (texts.append(key.get()) < 0 || texts.append(value.get()) < 0) {
            return -1;
        }
    }
}

// The same through whatever `chain` is bound to now.
int chained_texts(PyObject* chain, PyObject* some_dict, Joiner& texts) {
    Ref from_iterable =
        Ref::steal(PyObject_GetAttr(chain, strings.from_iterable_attr.get()));
    if (!from_iterable) {
        return -1;
    }
    if (some_dict == Py_None) {
        raise_none_attribute("items");
        return -1;
    }
    Ref items = Ref::steal(PyObject_CallMethodObjArgs(
        some_dict, strings.items_attr.get(), nullptr));
    if (!items) {
        return -1;
    }
    Ref flat = Ref::steal(
        PyObject_CallFunctionObjArgs(from_iterable.get(), items.get(), nullptr));
    Ref iterator = Ref::steal(flat ? PyObject_GetIter(flat.get()) : nullptr);
    if (!iterator) {
        return -1;
    }
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (texts.append(item.get()) < 0) {
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

PyObject* join_entries(PyObject* some_dict, PyObject* delim) {
    if (delim == Py_None) {
        return raise_none_attribute("join");
    }
    Ref chain = Ref::steal(lookup_global(name_chain));
    if (!chain) {
        return nullptr;
    }
    Joiner texts(delim);
    int status;
    if (chain.get() == original_chain.get()) {
        if (some_dict == Py_None) {
            return raise_none_attribute("items");
        }
        status = dictionary_texts(some_dict, texts);
    } else {
        status = chained_texts(chain.get(), some_dict, texts);
    }
    return status < 0 ? nullptr : texts.finish();
}

const char* const collect_params[] = {"some_dict", "char"};
PyTypeObject* const collect_types[] = {&PyDict_Type, &PyUnicode_Type};
const Signature collect_signature = {"_collect", "_velkc._collect",
                                     collect_params, collect_types, 2, 1};

}  // namespace

PyObject* collect_record(PyObject* some_dict, PyObject* delim) {
    return traced("_velkc._collect",
                  join_entries(some_dict,
                               delim ? delim : strings.underscore.get()));
}

PyObject* py_collect(PyObject*, PyObject* args, PyObject* kwds) {
    Ref values[2];
    if (bind_arguments(collect_signature, args, kwds, values) < 0) {
        return nullptr;
    }
    return collect_record(values[0].get(), values[1].get());
}

}  // namespace velk
