#include "core/core.hpp"

namespace velk {

std::nullptr_t raise_none_attribute(const char* method) {
    PyErr_Format(PyExc_AttributeError,
                 "'NoneType' object has no attribute '%.30s'", method);
    return nullptr;
}

int expect_exact(PyObject* obj, PyTypeObject* type, const char* kind) {
    if (obj == Py_None || Py_TYPE(obj) == type) {
        return 0;
    }
    PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", kind,
                 Py_TYPE(obj)->tp_name);
    return -1;
}

int check_argument_type(PyObject* obj, PyTypeObject* type, const char* name) {
    if (obj == Py_None || Py_TYPE(obj) == type) {
        return 0;
    }
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, "
                 "got %.200s)",
                 name, type->tp_name, Py_TYPE(obj)->tp_name);
    return -1;
}

}  // namespace velk
