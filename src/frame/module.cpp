// The module definition that the interpreter loads: the exported functions,
// the create and exec slots, and the one exported symbol.
#include "codec/codec.hpp"
#include "frame/frame.hpp"
#include "frame/init.hpp"
#include "records/records.hpp"
#include "values/values.hpp"
#include "xor/xor.hpp"

namespace velk {

namespace {

template <typename Function>
PyCFunction as_method(Function function) {
    return reinterpret_cast<PyCFunction>(
        reinterpret_cast<void (*)(void)>(function));
}

// The one-argument functions take their argument the vectorcall way and
// check it themselves, so that their messages read the same on every
// version (see single_argument).
PyMethodDef methods[] = {
    {"_convert", as_method(py_convert), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"_dump", as_method(py_dump), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"_collect", as_method(py_collect), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"_iter_to_str", as_method(py_iter_to_str), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {"_object_convert", as_method(py_object_convert), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {"_object_dump", as_method(py_object_dump), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {"_object_collect", as_method(py_object_collect), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {"_color_convert", as_method(py_color_convert), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {"_color_dump", as_method(py_color_dump), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {"_color_collect", as_method(py_color_collect), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {"byte_xor", as_method(py_byte_xor), METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,  // m_base
    "_velkc",               // m_name
    nullptr,                // m_doc
    0,                      // m_size: no per-module state
    methods,                // m_methods
    slots,                  // m_slots
    nullptr,                // m_traverse
    nullptr,                // m_clear
    nullptr,                // m_free
};

}  // namespace

}  // namespace velk

// The one symbol the module exports; the build hides all others.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit__velkc(void) {
    return PyModuleDef_Init(&velk::module_def);
}
