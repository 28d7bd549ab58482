#include "core/core.hpp"

#include <frameobject.h>

namespace velk {

namespace {
Kept traceback_globals;
}  // namespace

void set_traceback_globals(PyObject* globals) {
    traceback_globals.reset(Ref::borrow(globals));
}

void add_traceback(const char* name) {
    // The entry is a frame of an empty code object named `name`; making it
    // must not disturb the exception in flight.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty("velk/_velkc", name, 1)));
    Ref globals = traceback_globals ? Ref::borrow(traceback_globals.get())
                                    : Ref::steal(PyDict_New());
    Ref frame;
    if (code && globals) {
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
            globals.get(), nullptr)));
    }
    // A failure to build the entry loses the entry, never the exception.
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}
}  // namespace velk
