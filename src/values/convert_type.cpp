// A typed value made ready to print, by its class: through the callable that
// `_MAPPING` holds for its exact class, as its `value` when it is an Enum
// member, or unchanged.
#include "frame/frame.hpp"
#include "values/values.hpp"

namespace velk {

namespace {

// Builtin classes whose instances cannot redefine `__class__` and whose
// `__mro__` is their type's own, each with what `_MAPPING` holds for it.
// `_MAPPING` does not change after initialisation, so its entry for these
// classes is looked up once, and kept apart from the table, which Python
// code can reach and empty.
struct PlainBuiltin {
    PyTypeObject* type;
    Kept mapped;  // empty when _MAPPING holds nothing for the class
};
// type(None) has no public name before 3.13; it is read from None when the
// module is loaded.
PlainBuiltin plain_builtins[] = {
    {&PyLong_Type, {}},      {&PyUnicode_Type, {}},
    {&PyFloat_Type, {}},     {&PyBool_Type, {}},
    {Py_TYPE(Py_None), {}},  {&PyList_Type, {}},
    {&PyTuple_Type, {}},     {&PySet_Type, {}},
    {&PyDict_Type, {}},      {&PyFrozenSet_Type, {}},
    {&PyBytes_Type, {}},
};

const PlainBuiltin* find_plain_builtin(PyTypeObject* type) {
    for (const PlainBuiltin& entry : plain_builtins) {
        if (entry.type == type) {
            return &entry;
        }
    }
    return nullptr;
}

PyObject* call_mapped(PyObject* mapped, PyObject* value) {
    if (mapped == reinterpret_cast<PyObject*>(&PyLong_Type) &&
        PyBool_Check(value)) {
        return PyLong_FromLong(value == Py_True);
    }
    if (mapped == iter_to_str_function.get()) {
        return iter_to_str(value);
    }
    PyObject* args[] = {value};
    return vectorcall(mapped, args, 1, nullptr);
}

// 1 when `Enum` is in the __mro__ of `cls`, 0 when not, -1 on error.
// `plain`: cls is a plain builtin class, whose __mro__ is its tp_mro.
int derives_from_enum(PyObject* cls, bool plain) {
    Ref base = Ref::steal(lookup_global(name_enum));
    if (!base) {
        return -1;
    }
    if (plain &&
        Py_TYPE(base.get())->tp_richcompare == PyType_Type.tp_richcompare) {
        // Classes compare by identity, so the test needs no call.
        PyObject* mro = reinterpret_cast<PyTypeObject*>(cls)->tp_mro;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
            if (PyTuple_GET_ITEM(mro, i) == base.get()) {
                return 1;
            }
        }
        return 0;
    }
    Ref mro = Ref::steal(PyObject_GetAttr(cls, strings.mro_attr.get()));
    if (!mro) {
        return -1;
    }
    return PySequence_Contains(mro.get(), base.get());
}

PyObject* normalise(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    Ref cls;
    Ref mapped;
    const PlainBuiltin* plain = find_plain_builtin(type);
    if (plain) {
        cls = Ref::borrow(reinterpret_cast<PyObject*>(type));
        mapped = Ref::borrow(plain->mapped.get());
    } else {
        cls = Ref::steal(PyObject_GetAttr(value, strings.class_attr.get()));
        if (!cls) {
            return nullptr;
        }
        // Hashing the class may run code, which must not free the table.
        Ref mapping = Ref::borrow(tables.MAPPING.get());
        mapped = Ref::borrow(PyDict_GetItemWithError(mapping.get(), cls.get()));
        if (!mapped && PyErr_Occurred()) {
            return nullptr;
        }
    }
    if (mapped) {
        return call_mapped(mapped.get(), value);
    }
    int is_member = derives_from_enum(cls.get(), plain != nullptr);
    if (is_member < 0) {
        return nullptr;
    }
    if (is_member) {
        return PyObject_GetAttr(value, strings.value_attr.get());
    }
    Py_INCREF(value);
    return value;
}

}  // namespace

int cache_builtin_mappings() {
    for (PlainBuiltin& entry : plain_builtins) {
        PyObject* mapped = PyDict_GetItemWithError(
            tables.MAPPING.get(), reinterpret_cast<PyObject*>(entry.type));
        if (mapped == nullptr && PyErr_Occurred()) {
            return -1;
        }
        entry.mapped.reset(Ref::borrow(mapped));
    }
    return 0;
}

PyObject* convert_type(PyObject* value) {
    return traced("_velkc._convert_type", normalise(value));
}

bool kept_as_is(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    if (type != &PyLong_Type && type != &PyFloat_Type &&
        type != &PyUnicode_Type && value != Py_None) {
        return false;
    }
    // The mro of these classes is the class and object.
    PyObject* base = cached_global(name_enum);
    return base && base != reinterpret_cast<PyObject*>(type) &&
           base != reinterpret_cast<PyObject*>(&PyBaseObject_Type) &&
           !find_plain_builtin(type)->mapped;
}

}  // namespace velk
