#include "core/core.hpp"

#include <frameobject.h>

#include <cstring>

namespace velk {

namespace {

Kept traceback_globals;

// The empty code object of each entry name.  A value nested too deeply fails
// through thousands of levels, each adding an entry or three of the same few
// names, and a frame can share its code object with every other.  The
// module has about twenty names; any beyond the room here get a code object
// of their own each time.
struct EntryCode {
    const char* name = nullptr;
    Kept code;
};
EntryCode entry_codes[32];

// The code object named `name` (new reference), or nullptr.
PyObject* entry_code(const char* name) {
    for (EntryCode& entry : entry_codes) {
        if (entry.name == nullptr) {
            entry.code.reset(Ref::steal(reinterpret_cast<PyObject*>(
                PyCode_NewEmpty("velk/_velkc", name, 1))));
            if (!entry.code) {
                return nullptr;
            }
            entry.name = name;
        }
        if (std::strcmp(entry.name, name) == 0) {
            return entry.code.new_ref();
        }
    }
    return reinterpret_cast<PyObject*>(PyCode_NewEmpty("velk/_velkc", name, 1));
}

}  // namespace

void set_traceback_globals(PyObject* globals) {
    traceback_globals.reset(Ref::borrow(globals));
}

void add_traceback(const char* name) {
    // The entry is a frame of an empty code object named `name`; making it
    // must not disturb the exception in flight.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref code = Ref::steal(entry_code(name));
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
