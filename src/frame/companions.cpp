// The companion modules: imported once, at initialisation, with their names
// bound in the module's namespace.
#include "frame/frame.hpp"
#include "values/values.hpp"

namespace velk {

namespace {

// `from <module_name> import <name>` into the namespace.  Returns the bound
// object (new reference) or nullptr.
PyObject* import_from(const char* module_name, const char* name) {
    Ref module_text = Ref::steal(PyUnicode_FromString(module_name));
    Ref attribute = Ref::steal(PyUnicode_InternFromString(name));
    Ref fromlist = Ref::steal(PyList_New(1));
    Ref locals = Ref::steal(PyDict_New());
    if (!module_text || !attribute || !fromlist || !locals) {
        return nullptr;
    }
    Py_INCREF(attribute.get());
    PyList_SET_ITEM(fromlist.get(), 0, attribute.get());
    Ref imported = Ref::steal(PyImport_ImportModuleLevelObject(
        module_text.get(), ns.globals.get(), locals.get(), fromlist.get(), 0));
    if (!imported) {
        return nullptr;
    }
    Ref value = Ref::steal(PyObject_GetAttr(imported.get(), attribute.get()));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Format(PyExc_ImportError, "cannot import name %S",
                         attribute.get());
        }
        return nullptr;
    }
    if (PyDict_SetItem(ns.globals.get(), attribute.get(), value.get()) < 0) {
        return nullptr;
    }
    return value.release();
}

int import_one(const char* module_name, const char* name) {
    Ref value = Ref::steal(import_from(module_name, name));
    return value ? 0 : -1;
}

// The names a star import takes from `module`: its __all__, or the keys of
// its __dict__ without those that begin with "_".  Gathers them with their
// values into `names`, in listing order.
int gather_public_names(PyObject* module, PyObject* names) {
    bool skip_private = false;
    Ref listing = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!listing) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
        Ref dict = Ref::steal(PyObject_GetAttrString(module, "__dict__"));
        if (!dict) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_SetString(PyExc_ImportError,
                                "from-import-* object has no __dict__ and no "
                                "__all__");
            }
            return -1;
        }
        listing = Ref::steal(PyMapping_Keys(dict.get()));
        if (!listing) {
            return -1;
        }
        skip_private = true;
    }
    for (Py_ssize_t i = 0;; ++i) {
        Ref name = Ref::steal(PySequence_GetItem(listing.get(), i));
        if (!name) {
            if (!PyErr_ExceptionMatches(PyExc_IndexError)) {
                return -1;
            }
            PyErr_Clear();
            return 0;
        }
        if (skip_private && PyUnicode_Check(name.get()) &&
            PyUnicode_GET_LENGTH(name.get()) > 0 &&
            PyUnicode_READ_CHAR(name.get(), 0) == '_') {
            continue;
        }
        Ref value = Ref::steal(PyObject_GetAttr(module, name.get()));
        if (!value || PyDict_SetItem(names, name.get(), value.get()) < 0) {
            return -1;
        }
    }
}

// Binds one star-imported name; a name of a property table is stored into
// that table instead, after a check of its kind.
int bind_public_name(PyObject* module, PyObject* name, PyObject* value) {
    const char* text = PyUnicode_AsUTF8(name);
    if (text == nullptr) {
        return -1;
    }
    const TableSlot* table = find_table(text);
    if (table == nullptr) {
        return PyObject_SetAttr(module, name, value);
    }
    if (expect_exact(value, table->kind, table->kind_name) < 0) {
        return -1;
    }
    table->slot->reset(Ref::borrow(value));
    return 0;
}

// `from <module_name> import *`.
int import_star(PyObject* module, const char* module_name) {
    Ref module_text = Ref::steal(PyUnicode_FromString(module_name));
    Ref fromlist = Ref::steal(Py_BuildValue("[s]", "*"));
    Ref locals = Ref::steal(PyDict_New());
    Ref names = Ref::steal(PyDict_New());
    if (!module_text || !fromlist || !locals || !names) {
        return -1;
    }
    Ref imported = Ref::steal(PyImport_ImportModuleLevelObject(
        module_text.get(), ns.globals.get(), locals.get(), fromlist.get(), 0));
    if (!imported || gather_public_names(imported.get(), names.get()) < 0) {
        return -1;
    }
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(names.get(), &pos, &name, &value)) {
        if (bind_public_name(module, name, value) < 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace

int import_companions(PyObject* module) {
    forget_classes_holding_no_record();
    if (import_one("velk.utils.crypto.coders", "Coder") < 0 ||
        import_one("velk.api.guidelines", "Guidelines") < 0) {
        return -1;
    }
    Ref hsv = Ref::steal(import_from("velk.api.hsv", "HSV"));
    if (!hsv || import_star(module, "velk.api.enums") < 0) {
        return -1;
    }
    note_class_holding_no_record(hsv.get());
    // Borrowed from the namespace, which holds it through the call.  The
    // colour reader looks the name up at every use; a class bound to it later
    // is not one whose members count as holding no record.
    PyObject* player_color =
        PyDict_GetItemString(ns.globals.get(), "PlayerColor");
    if (player_color != nullptr) {
        note_class_holding_no_record(player_color);
    }
    Ref chain = Ref::steal(import_from("itertools", "chain"));
    if (!chain) {
        return -1;
    }
    original_chain.reset(std::move(chain));
    return import_one("enums", "Enum");
}

}  // namespace velk
