// A collection written as one value text: its elements joined by ".", or,
// for a collection of dictionaries, each one as a record joined by "|".
#include "codec/codec.hpp"
#include "codec/text_writer.hpp"
#include "frame/frame.hpp"
#include "values/values.hpp"

namespace velk {

namespace {

// Writes one element: its str(), or, when `records`, the element (which
// must be a dict) dumped and collected into its record text.
int append_element(Joiner& texts, PyObject* item, bool records) {
    if (!records) {
        return texts.append(item);
    }
    if (expect_exact(item, &PyDict_Type, "dict") < 0) {
        return -1;
    }
    Ref dumped = Ref::steal(dump_record(item, nullptr));
    Ref text = Ref::steal(dumped ? collect_record(dumped.get(), nullptr)
                                 : nullptr);
    return text ? texts.append(text.get()) : -1;
}

// `first` (nullptr: none), then every element drawn from `iterator`, each
// written as soon as it is drawn.
PyObject* join_items(PyObject* joiner, PyObject* first, PyObject* iterator,
                     bool records) {
    Joiner texts(joiner);
    if (first && append_element(texts, first, records) < 0) {
        return nullptr;
    }
    while (Ref item = Ref::steal(PyIter_Next(iterator))) {
        if (append_element(texts, item.get(), records) < 0) {
            return nullptr;
        }
    }
    return PyErr_Occurred() ? nullptr : texts.finish();
}

// Builtin collections whose fresh iterator, made right after the probe,
// would draw what the probe's iterator draws from then on: the probed
// element, then the rest.  Nothing runs between the two that could change
// them.
bool walks_alike(PyObject* collection) {
    PyTypeObject* type = Py_TYPE(collection);
    return type == &PyList_Type || type == &PyTuple_Type || type == &PySet_Type ||
           type == &PyFrozenSet_Type || type == &PyDict_Type ||
           type == &PyUnicode_Type;
}

// The first element decides the form.  A re-iterable collection is walked
// afresh after that probe; a one-shot iterator cannot be, so the probed
// element is written first and the rest drawn from the same iterator, so
// that no element is lost and each is checked and written as it is drawn.
PyObject* join_collection(PyObject* collection) {
    Ref iterator = Ref::steal(PyObject_GetIter(collection));
    if (!iterator) {
        return nullptr;
    }
    Ref first = Ref::steal(PyIter_Next(iterator.get()));
    if (!first && PyErr_Occurred()) {
        return nullptr;
    }
    bool records = first && Py_TYPE(first.get()) == &PyDict_Type;
    PyObject* joiner = records ? strings.pipe.get() : strings.dot.get();
    if (first && (iterator.get() == collection || walks_alike(collection))) {
        return join_items(joiner, first.get(), iterator.get(), records);
    }
    first = Ref();
    iterator = Ref::steal(PyObject_GetIter(collection));
    if (!iterator) {
        return nullptr;
    }
    return join_items(joiner, nullptr, iterator.get(), records);
}

// Collections nest through dictionaries and back here, so a deep or
// self-referential value recurses.  Each level is counted as the
// interpreter counts recursion and refused once the thread is as deep as
// the recursion limit allows.  A depth of our own that the C stack surely
// holds bounds the recursion too, should the limit be raised far.
constexpr int max_nesting = 2000;
thread_local int nesting = 0;

const char* const too_deep = " while writing a collection";

int enter_level() {
    if (nesting >= max_nesting) {
        PyErr_Format(PyExc_RecursionError,
                     "maximum recursion depth exceeded%s", too_deep);
        return -1;
    }
    if (check_recursion_limit(too_deep) < 0 || Py_EnterRecursiveCall(too_deep)) {
        return -1;
    }
    ++nesting;
    return 0;
}

void leave_level() {
    --nesting;
    Py_LeaveRecursiveCall();
}

}  // namespace

PyObject* iter_to_str(PyObject* collection) {
    if (enter_level() < 0) {
        return traced("_velkc._iter_to_str", nullptr);
    }
    PyObject* text = join_collection(collection);
    leave_level();
    return traced("_velkc._iter_to_str", text);
}

PyObject* py_iter_to_str(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    PyObject* collection = single_argument("_iter_to_str", args, nargs, kwnames);
    return collection ? iter_to_str(collection) : nullptr;
}

}  // namespace velk
