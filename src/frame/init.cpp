// Creation and one-time initialisation of the module object.
#include "frame/init.hpp"

#include "frame/frame.hpp"

#include <cstdio>
#include <initializer_list>

namespace velk {

namespace {

// The module object, from the start of its initialisation until the process
// ends; forgotten again when initialisation fails.
Kept remembered_module;

// The interpreter that first created the module.
bool interpreter_known = false;
std::int64_t interpreter_id = -1;

int check_interpreter() {
    std::int64_t current = PyInterpreterState_GetID(current_interpreter());
    if (!interpreter_known) {
        if (current == -1) {
            return -1;
        }
        interpreter_id = current;
        interpreter_known = true;
        return 0;
    }
    if (current != interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be "
                        "loaded into one interpreter per process.");
        return -1;
    }
    return 0;
}

// Copies spec.<from> into the namespace as <to>; a missing attribute is
// skipped, and so is None unless `allow_none`.
int copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from,
                        const char* to, bool allow_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
        return 0;
    }
    if (!allow_none && value.get() == Py_None) {
        return 0;
    }
    return PyDict_SetItemString(dict, to, value.get());
}

// Warns when the running interpreter is not the version built for.
int check_version() {
    int major = 0, minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2 ||
        (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION)) {
        return 0;
    }
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compiletime version %d.%d of module '%.100s' does "
                            "not match runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, "_velkc", major,
                            minor);
}

int register_bare_name(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* existing = PyDict_GetItemString(modules, "_velkc");
    if (existing != nullptr) {
        return 0;
    }
    return PyDict_SetItemString(modules, "_velkc", module);
}

// A builtin (new reference), or NameError as for any unbound name.
PyObject* builtin(const char* text) {
    Ref name = Ref::steal(PyUnicode_InternFromString(text));
    if (!name) {
        return nullptr;
    }
    PyObject* found = PyDict_GetItemWithError(ns.builtins.get(), name.get());
    if (found == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined",
                         name.get());
        }
        return nullptr;
    }
    Py_INCREF(found);
    return found;
}

// The module has always fetched `staticmethod`, `zip`, `map` and
// `StopIteration` from the builtins while it initialises, so builtins that
// lack one of them refuse the module with a NameError.  Only `staticmethod`
// is used afterwards; the others need not be kept.
int capture_builtins() {
    Ref staticmethod = Ref::steal(builtin("staticmethod"));
    if (!staticmethod) {
        return -1;
    }
    for (const char* text : {"zip", "map", "StopIteration"}) {
        if (!Ref::steal(builtin(text))) {
            return -1;
        }
    }
    captured_staticmethod.reset(std::move(staticmethod));
    return 0;
}

// Points name lookups and traceback frames at the module's namespace.
int enter_module_namespace(PyObject* module) {
    PyObject* builtins = PyImport_AddModule("builtins");
    PyObject* globals = PyModule_GetDict(module);
    if (builtins == nullptr ||
        PyDict_SetItemString(globals, "__builtins__", builtins) < 0 ||
        enter_namespace(globals, PyModule_GetDict(builtins)) < 0) {
        return -1;
    }
    set_traceback_globals(globals);
    return 0;
}

// Sets Coder.byte_xor to staticmethod(byte_xor).
int install_byte_xor() {
    Ref function = Ref::steal(lookup_name("byte_xor"));
    if (!function) {
        return -1;
    }
    Ref method = Ref::steal(PyObject_CallFunctionObjArgs(
        captured_staticmethod.get(), function.get(), nullptr));
    Ref coder = Ref::steal(lookup_global(name_coder));
    if (!method || !coder) {
        return -1;
    }
    return PyObject_SetAttrString(coder.get(), "byte_xor", method.get());
}

// Everything a first initialisation builds, in order: the namespace and the
// constants, the module's entry under its bare name and the captured
// builtins, the companions, the property tables, Coder.byte_xor and
// __test__.
int initialise(PyObject* module) {
    remembered_module.reset(Ref::borrow(module));
    if (enter_module_namespace(module) < 0 || create_strings() < 0 ||
        register_bare_name(module) < 0 || capture_builtins() < 0) {
        return -1;
    }
    reset_tables();
    if (import_companions(module) < 0) {
        return -1;
    }
    if (build_tables() < 0 || install_byte_xor() < 0) {
        return -1;
    }
    Ref test = Ref::steal(PyDict_New());
    if (!test) {
        return -1;
    }
    return PyDict_SetItemString(ns.globals.get(), "__test__", test.get());
}

}  // namespace

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    if (check_interpreter() < 0) {
        return nullptr;
    }
    if (remembered_module) {
        return remembered_module.new_ref();
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, dict, "submodule_search_locations",
                            "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

int exec_module(PyObject* module) {
    if (remembered_module) {
        if (remembered_module.get() == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module '_velkc' has already been imported. "
                        "Re-initialisation is not supported.");
        return -1;
    }
    if (check_version() < 0) {
        return -1;
    }
    if (initialise(module) == 0) {
        return 0;
    }
    if (PyErr_Occurred()) {
        add_traceback("init _velkc");
    } else {
        PyErr_SetString(PyExc_ImportError, "init _velkc");
    }
    remembered_module.reset(Ref());
    return -1;
}

}  // namespace velk
