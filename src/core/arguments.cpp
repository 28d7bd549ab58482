#include "core/core.hpp"

namespace velk {

namespace {

// "f() takes exactly 2 positional arguments (1 given)" and its "at least" /
// "at most" forms.
int raise_count_error(const Signature& sig, Py_ssize_t given) {
    const char* bound;
    Py_ssize_t expected;
    if (sig.required == sig.count) {
        bound = "exactly";
        expected = sig.count;
    } else if (given < sig.required) {
        bound = "at least";
        expected = sig.required;
    } else {
        bound = "at most";
        expected = sig.count;
    }
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.function, bound, expected, expected == 1 ? "" : "s",
                 given);
    return -1;
}

// Index of the parameter called `name`, or -1.
Py_ssize_t parameter_index(const Signature& sig, PyObject* name) {
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(name, sig.params[i]) == 0) {
            return i;
        }
    }
    return -1;
}

// The keyword argument called `name`, borrowed, or nullptr.
PyObject* keyword_value(PyObject* kwds, const char* name) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwds, &pos, &key, &value)) {
        if (PyUnicode_Check(key) &&
            PyUnicode_CompareWithASCIIString(key, name) == 0) {
            return value;
        }
    }
    return nullptr;
}

// Walks every keyword, in the order given, and binds those that name a
// parameter not yet given by position; the first that cannot be bound
// raises.
int bind_keywords(const Signature& sig, Py_ssize_t positional, PyObject* kwds,
                  Ref* out) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwds, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings",
                         sig.function);
            return -1;
        }
        Py_ssize_t index = parameter_index(sig, key);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got an unexpected keyword argument '%U'",
                         sig.function, key);
            return -1;
        }
        if (index < positional) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got multiple values for keyword argument '%U'",
                         sig.function, key);
            return -1;
        }
        out[index] = Ref::borrow(value);
    }
    return 0;
}

// Every bound argument is an owned reference: a call written f(**d) may hand
// over the caller's own dict `d`, which a callback run later in the call can
// empty.
int bind(const Signature& sig, PyObject* args, PyObject* kwds, Ref* out) {
    Py_ssize_t positional = PyTuple_GET_SIZE(args);
    if (positional > sig.count) {
        return raise_count_error(sig, positional);
    }
    for (Py_ssize_t i = 0; i < positional; ++i) {
        out[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));
    }
    Py_ssize_t keywords = kwds ? PyDict_GET_SIZE(kwds) : 0;
    // Parameters after the positional ones are taken from the keywords by
    // name; the first required one that is missing is reported by its
    // position, before any keyword is judged.
    for (Py_ssize_t i = positional; i < sig.count; ++i) {
        PyObject* value = nullptr;
        if (keywords > 0) {
            value = keyword_value(kwds, sig.params[i]);
        }
        if (value) {
            out[i] = Ref::borrow(value);
            --keywords;
        } else if (i < sig.required) {
            return raise_count_error(sig, i);
        }
    }
    if (keywords > 0) {
        return bind_keywords(sig, positional, kwds, out);
    }
    return 0;
}

}  // namespace

PyObject* single_argument(const char* function, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments",
                     function);
        return nullptr;
    }
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError,
                     "%.200s() takes exactly one argument (%zd given)", function,
                     nargs);
        return nullptr;
    }
    return args[0];
}

int bind_arguments(const Signature& sig, PyObject* args, PyObject* kwds,
                   Ref* out) {
    if (bind(sig, args, kwds, out) < 0) {
        add_traceback(sig.traced_name);
        return -1;
    }
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        if (sig.types[i] && out[i] &&
            check_argument_type(out[i].get(), sig.types[i], sig.params[i]) < 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace velk
