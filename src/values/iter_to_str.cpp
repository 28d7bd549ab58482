// A collection written as one value text: its elements joined by ".", or,
// for a collection of dictionaries, each one as a record joined by "|".
#include "codec/codec.hpp"
#include "frame/frame.hpp"
#include "values/values.hpp"

namespace velk {

namespace {

// joiner.join(map(str, items)).
PyObject* join_texts(PyObject* joiner, PyObject* items) {
    Ref iterator = Ref::steal(PyObject_GetIter(items));
    Ref texts = Ref::steal(PyList_New(0));
    if (!iterator || !texts) {
        return nullptr;
    }
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref text = Ref::steal(PyObject_Str(item.get()));
        if (!text || PyList_Append(texts.get(), text.get()) < 0) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    return PyUnicode_Join(joiner, texts.get());
}

// Each dictionary of `items` dumped and joined into its record text.
PyObject* record_texts(PyObject* items) {
    Ref iterator = Ref::steal(PyObject_GetIter(items));
    Ref records = Ref::steal(PyList_New(0));
    if (!iterator || !records) {
        return nullptr;
    }
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (expect_exact(item.get(), &PyDict_Type, "dict") < 0) {
            return nullptr;
        }
        Ref dumped = Ref::steal(dump_record(item.get(), nullptr));
        Ref record =
            Ref::steal(dumped ? collect_record(dumped.get(), nullptr) : nullptr);
        if (!record || PyList_Append(records.get(), record.get()) < 0) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    return records.release();
}

// The first element decides the form.  A re-iterable collection is walked
// afresh after that probe; a one-shot iterator is drawn once, into a list
// that keeps the probed element, so that no element is lost.
PyObject* join_collection(PyObject* collection) {
    Ref iterator = Ref::steal(PyObject_GetIter(collection));
    if (!iterator) {
        return nullptr;
    }
    Ref first = Ref::steal(PyIter_Next(iterator.get()));
    if (!first && PyErr_Occurred()) {
        return nullptr;
    }
    Ref items = Ref::borrow(collection);
    if (first && iterator.get() == collection) {
        items = Ref::steal(PySequence_List(iterator.get()));
        if (!items || PyList_Insert(items.get(), 0, first.get()) < 0) {
            return nullptr;
        }
    }
    if (first && Py_TYPE(first.get()) == &PyDict_Type) {
        Ref records = Ref::steal(record_texts(items.get()));
        if (!records) {
            return nullptr;
        }
        return PyUnicode_Join(strings.pipe, records.get());
    }
    return join_texts(strings.dot, items.get());
}

}  // namespace

PyObject* iter_to_str(PyObject* collection) {
    // Collections nest through dictionaries and back here; the interpreter's
    // recursion limit stops a self-referential or very deep value.
    if (Py_EnterRecursiveCall(" while writing a collection")) {
        return traced("_velkc._iter_to_str", nullptr);
    }
    PyObject* text = join_collection(collection);
    Py_LeaveRecursiveCall();
    return traced("_velkc._iter_to_str", text);
}

PyObject* py_iter_to_str(PyObject*, PyObject* collection) {
    return iter_to_str(collection);
}

}  // namespace velk
