#include "core/compat.hpp"
#include "core/core.hpp"

namespace velk {

Namespace ns;

int enter_namespace(PyObject* globals, PyObject* builtins) {
    if (watch_namespace(globals, builtins) < 0) {
        return -1;
    }
    Py_INCREF(globals);
    Py_XSETREF(ns.globals, globals);
    Py_INCREF(builtins);
    Py_XSETREF(ns.builtins, builtins);
    return 0;
}

int intern_name(GlobalName& entry) {
    if (entry.name == nullptr) {
        entry.name = PyUnicode_InternFromString(entry.text);
    }
    return entry.name ? 0 : -1;
}

PyObject* lookup_global(GlobalName& entry) {
    NamespaceVersion version = namespace_version(ns.globals, ns.builtins);
    if (entry.cached && entry.version == version) {
        // Neither dictionary changed since the cached object was found in
        // one of them, so that dictionary still holds it.
        Py_INCREF(entry.cached);
        return entry.cached;
    }
    PyObject* found = PyDict_GetItemWithError(ns.globals, entry.name);
    if (found == nullptr && !PyErr_Occurred()) {
        found = PyDict_GetItemWithError(ns.builtins, entry.name);
    }
    if (found == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined",
                         entry.name);
        }
        entry.cached = nullptr;
        return nullptr;
    }
    entry.cached = found;
    entry.version = version;
    Py_INCREF(found);
    return found;
}

PyObject* lookup_name(const char* text) {
    GlobalName entry{text};
    if (intern_name(entry) < 0) {
        return nullptr;
    }
    // The entry lives for this one lookup, and its name with it.
    Ref name = Ref::steal(entry.name);
    return lookup_global(entry);
}

}  // namespace velk
