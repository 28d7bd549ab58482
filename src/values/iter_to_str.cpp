// A collection written as one value text: its elements joined by ".", or,
// for a collection of dictionaries, each one as a record joined by "|".
#include "codec/codec.hpp"
#include "codec/text_writer.hpp"
#include "frame/frame.hpp"
#include "values/values.hpp"

namespace velk {

namespace {

// joiner.join(map(str, items)), or, when `records`, each item (which must
// be a dict) dumped and collected into its record text first.
PyObject* join_items(PyObject* joiner, PyObject* items, bool records) {
    Ref iterator = Ref::steal(PyObject_GetIter(items));
    if (!iterator) {
        return nullptr;
    }
    Joiner texts(joiner);
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (records) {
            if (expect_exact(item.get(), &PyDict_Type, "dict") < 0) {
                return nullptr;
            }
            Ref dumped = Ref::steal(dump_record(item.get(), nullptr));
            item = Ref::steal(dumped ? collect_record(dumped.get(), nullptr)
                                     : nullptr);
            if (!item) {
                return nullptr;
            }
        }
        if (texts.append(item.get()) < 0) {
            return nullptr;
        }
    }
    return PyErr_Occurred() ? nullptr : texts.finish();
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
        return join_items(strings.pipe, items.get(), true);
    }
    return join_items(strings.dot, items.get(), false);
}

}  // namespace

// Collections nest through dictionaries and back here, so a deep or
// self-referential value recurses.  The interpreter's recursion limit stops
// it, and so does a depth of our own that the C stack surely holds, should
// that limit be raised far.
constexpr int max_nesting = 2000;
thread_local int nesting = 0;

PyObject* iter_to_str(PyObject* collection) {
    if (nesting >= max_nesting) {
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded while writing a "
                        "collection");
        return traced("_velkc._iter_to_str", nullptr);
    }
    if (Py_EnterRecursiveCall(" while writing a collection")) {
        return traced("_velkc._iter_to_str", nullptr);
    }
    ++nesting;
    PyObject* text = join_collection(collection);
    --nesting;
    Py_LeaveRecursiveCall();
    return traced("_velkc._iter_to_str", text);
}

PyObject* py_iter_to_str(PyObject*, PyObject* collection) {
    return iter_to_str(collection);
}

}  // namespace velk
