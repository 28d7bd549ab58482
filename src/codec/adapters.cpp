// The callables through which the module hands its own per-value behaviour
// to the record codec: pair adapters around internal converters and the
// text dumper of object records.  The identity dumper, which a key without
// a dumper gets, is no object: `apply_dumper` with no dumper keeps the value.
#include "codec/codec.hpp"
#include "frame/frame.hpp"
#include "values/values.hpp"

namespace velk {

namespace {

enum class AdapterKind { pair, text };

struct Adapter {
    PyObject_HEAD
    AdapterKind kind;
    PairFunction function;  // for pair adapters
    TextFunction direct;
};

PyTypeObject* adapter_type = nullptr;

Adapter* as_adapter(PyObject* object) {
    return Py_TYPE(object) == adapter_type ? reinterpret_cast<Adapter*>(object)
                                           : nullptr;
}

const char* adapter_name(PyObject* self) {
    return as_adapter(self)->kind == AdapterKind::text ? "lambda" : "wrap";
}

PyObject* get_name(PyObject* self, void*) {
    return PyUnicode_FromString(adapter_name(self));
}

PyObject* get_qualname(PyObject* self, void*) {
    return PyUnicode_FromString(
        as_adapter(self)->kind == AdapterKind::text ? "<lambda>" : "wrap");
}

PyObject* get_doc(PyObject* self, void*) {
    switch (as_adapter(self)->kind) {
        case AdapterKind::pair:
            return PyUnicode_FromString("wrap(key: unicode, value: unicode)");
        case AdapterKind::text:
            break;
    }
    Py_RETURN_NONE;
}

// The text under the text key, base64-encoded as object records store it.
PyObject* dump_text(PyObject* value) {
    if (expect_exact(value, &PyUnicode_Type, "unicode") < 0) {
        return traced("_velkc.lambda", nullptr);
    }
    return traced("_velkc.lambda", b64_failsafe(value, true));
}

const char* const pair_params[] = {"key", "value"};
PyTypeObject* const pair_types[] = {&PyUnicode_Type, &PyUnicode_Type};
const Signature pair_signature = {"wrap", pair_params, pair_types, 2, 2};

PyObject* call_pair(Adapter* adapter, PyObject* args, PyObject* kwds) {
    PyObject* values[2];
    if (bind_arguments(pair_signature, args, kwds, values) < 0) {
        return nullptr;
    }
    return adapter->function(values[0], values[1]);
}

// The text dumper's one-argument convention: exactly one positional
// argument, no keywords.
PyObject* call_dumper(Adapter* adapter, PyObject* args, PyObject* kwds) {
    const char* name = adapter_name(reinterpret_cast<PyObject*>(adapter));
    if (kwds && PyDict_GET_SIZE(kwds) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments",
                     name);
        return nullptr;
    }
    if (PyTuple_GET_SIZE(args) != 1) {
        PyErr_Format(PyExc_TypeError,
                     "%.200s() takes exactly one argument (%zd given)", name,
                     PyTuple_GET_SIZE(args));
        return nullptr;
    }
    return apply_dumper(reinterpret_cast<PyObject*>(adapter),
                        PyTuple_GET_ITEM(args, 0));
}

PyObject* adapter_call(PyObject* self, PyObject* args, PyObject* kwds) {
    Adapter* adapter = as_adapter(self);
    return adapter->kind == AdapterKind::pair ? call_pair(adapter, args, kwds)
                                              : call_dumper(adapter, args, kwds);
}

void adapter_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_Del(self);
    Py_DECREF(type);
}

PyGetSetDef adapter_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot adapter_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(adapter_call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(adapter_dealloc)},
    {Py_tp_getset, adapter_getset},
    {0, nullptr},
};

PyType_Spec adapter_spec = {
    "_velkc.adapter",         // name
    sizeof(Adapter),          // basicsize
    0,                        // itemsize
    Py_TPFLAGS_DEFAULT,       // flags
    adapter_slots,            // slots
};

PyObject* make_adapter(AdapterKind kind, PairFunction function,
                       TextFunction direct) {
    Adapter* adapter = PyObject_New(Adapter, adapter_type);
    if (adapter) {
        adapter->kind = kind;
        adapter->function = function;
        adapter->direct = direct;
    }
    return reinterpret_cast<PyObject*>(adapter);
}

}  // namespace

int create_adapters() {
    if (adapter_type == nullptr) {
        PyObject* type = PyType_FromSpec(&adapter_spec);
        if (type == nullptr) {
            return -1;
        }
        adapter_type = reinterpret_cast<PyTypeObject*>(type);
        // Adapters are made only here, never by calling their type.
        adapter_type->tp_new = nullptr;
    }
    return 0;
}

PyObject* make_pair_adapter(PairFunction function, TextFunction direct) {
    return make_adapter(AdapterKind::pair, function, direct);
}

PyObject* make_text_dumper() {
    return make_adapter(AdapterKind::text, nullptr, nullptr);
}

bool pair_adapter_functions(PyObject* func, PairFunction* function,
                            TextFunction* direct) {
    Adapter* adapter = as_adapter(func);
    if (adapter == nullptr || adapter->kind != AdapterKind::pair) {
        return false;
    }
    *function = adapter->function;
    *direct = adapter->direct;
    return true;
}

PyObject* apply_dumper(PyObject* dumper, PyObject* value) {
    if (dumper == nullptr) {
        Py_INCREF(value);
        return value;
    }
    Adapter* adapter = as_adapter(dumper);
    if (adapter && adapter->kind == AdapterKind::text) {
        return dump_text(value);
    }
    PyObject* args[] = {value};
    return _PyObject_Vectorcall(dumper, args, 1, nullptr);
}

}  // namespace velk
