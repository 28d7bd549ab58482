#include "core/core.hpp"

namespace velk {

Namespace ns;

namespace {

std::uint64_t version_tag(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

}  // namespace

int intern_name(GlobalName& entry) {
    if (entry.name == nullptr) {
        entry.name = PyUnicode_InternFromString(entry.text);
    }
    return entry.name ? 0 : -1;
}

PyObject* lookup_global(GlobalName& entry) {
    std::uint64_t globals_tag = version_tag(ns.globals);
    std::uint64_t builtins_tag = version_tag(ns.builtins);
    if (entry.cached && entry.globals_tag == globals_tag &&
        entry.builtins_tag == builtins_tag) {
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
    entry.globals_tag = globals_tag;
    entry.builtins_tag = builtins_tag;
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
