#include "core/compat.hpp"
#include "core/core.hpp"

namespace velk {

Namespace ns;

namespace {

// The object bound to `name` in the namespace, borrowed from the dictionary
// that holds it, or nullptr with NameError or the lookup's own error.
PyObject* find_name(PyObject* name) {
    PyObject* found = PyDict_GetItemWithError(ns.globals.get(), name);
    if (found == nullptr && !PyErr_Occurred()) {
        found = PyDict_GetItemWithError(ns.builtins.get(), name);
    }
    if (found == nullptr && !PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return found;
}

}  // namespace

int enter_namespace(PyObject* globals, PyObject* builtins) {
    if (watch_namespace(globals, builtins) < 0) {
        return -1;
    }
    ns.globals.reset(Ref::borrow(globals));
    ns.builtins.reset(Ref::borrow(builtins));
    return 0;
}

int intern_name(GlobalName& entry) {
    if (!entry.name) {
        entry.name.reset(Ref::steal(PyUnicode_InternFromString(entry.text)));
    }
    return entry.name ? 0 : -1;
}

PyObject* lookup_global(GlobalName& entry) {
    NamespaceVersion version =
        namespace_version(ns.globals.get(), ns.builtins.get());
    if (entry.cached && entry.version == version) {
        return entry.cached.new_ref();
    }
    Ref found = Ref::borrow(find_name(entry.name.get()));
    entry.version = version;
    // Releasing the binding remembered before may run code that changes the
    // namespace; `version` then no longer matches, and the next lookup looks
    // again.
    entry.cached.reset(Ref::borrow(found.get()));
    return found.release();
}

PyObject* lookup_name(const char* text) {
    Ref name = Ref::steal(PyUnicode_InternFromString(text));
    return name ? Ref::borrow(find_name(name.get())).release() : nullptr;
}

}  // namespace velk
