// What differs between the CPython versions the module builds for (3.8 to
// 3.13), and every use of an interpreter API that is not public.  Public API
// first; each private API or field used here names the versions it covers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace velk {

// ---- Calls -------------------------------------------------------------------

// callable(*args) with `nargs` positional arguments followed by the values
// of the keywords named in `kwnames`.  PyObject_Vectorcall is public from
// 3.9; 3.8 has the same function as _PyObject_Vectorcall.
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args,
                            std::size_t nargs, PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_Vectorcall(callable, args, nargs, kwnames);
#else
    return _PyObject_Vectorcall(callable, args, nargs, kwnames);
#endif
}

// ---- Containers and text -----------------------------------------------------

// A dict made with room for `size` entries.  _PyDict_NewPresized: private,
// 3.8 to 3.13, with no public equivalent.
inline PyObject* new_presized_dict(Py_ssize_t size) {
    return _PyDict_NewPresized(size);
}

// Text built in one growing buffer.  _PyUnicodeWriter and its functions:
// private, 3.8 to 3.13 (3.14 makes a public writer).
using UnicodeWriter = _PyUnicodeWriter;

inline void writer_init(UnicodeWriter* writer) {
    _PyUnicodeWriter_Init(writer);
    writer->overallocate = 1;
}
inline int writer_write_str(UnicodeWriter* writer, PyObject* text) {
    return _PyUnicodeWriter_WriteStr(writer, text);
}
inline int writer_write_ascii(UnicodeWriter* writer, const char* text,
                              Py_ssize_t size) {
    return _PyUnicodeWriter_WriteASCIIString(writer, text, size);
}
inline PyObject* writer_finish(UnicodeWriter* writer) {
    return _PyUnicodeWriter_Finish(writer);
}
inline void writer_dealloc(UnicodeWriter* writer) {
    _PyUnicodeWriter_Dealloc(writer);
}

// ---- The cyclic garbage collector ---------------------------------------------

// Whether the collector follows `object` (a GC object).  PyObject_GC_IsTracked
// is public from 3.9; 3.8 has the macro _PyObject_GC_IS_TRACKED.
inline bool gc_is_tracked(PyObject* object) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_GC_IsTracked(object);
#else
    return _PyObject_GC_IS_TRACKED(object);
#endif
}

// ---- Threads and interpreters -----------------------------------------------

// The interpreter the current thread runs in.  PyThreadState_GetInterpreter
// is public from 3.9; 3.8 reads PyThreadState.interp.
inline PyInterpreterState* current_interpreter() {
#if PY_VERSION_HEX >= 0x03090000
    return PyThreadState_GetInterpreter(PyThreadState_Get());
#else
    return PyThreadState_Get()->interp;
#endif
}

// ---- Recursion ---------------------------------------------------------------

// Whether the current thread is as deep as its recursion limit allows, so
// that the next Py_EnterRecursiveCall would fail.  The counters are fields
// of PyThreadState: recursion_depth against the limit (3.8 to 3.10),
// recursion_remaining (3.11), c_recursion_remaining, the count of C
// recursion that Py_EnterRecursiveCall keeps apart from Python frames from
// 3.12 on.
inline bool at_recursion_limit() {
    PyThreadState* thread = PyThreadState_Get();
#if PY_VERSION_HEX >= 0x030C0000
    return thread->c_recursion_remaining <= 0;
#elif PY_VERSION_HEX >= 0x030B0000
    return thread->recursion_remaining <= 0;
#else
    return thread->recursion_depth >= Py_GetRecursionLimit();
#endif
}

// After a RecursionError, CPython 3.8 and 3.9 let the thread recurse up to
// 50 levels past the limit, so that the code handling the error can run,
// until its depth falls 50 below the limit again; past those 50 levels they
// abort the process ("Cannot recover from stack overflow").  A
// RecursionError that was caught near the limit (by a handler that then
// calls the module, by the garbage collector around a failing callback it
// ran during one of our allocations, by the module's base64 fallback)
// leaves that grace on, and walking a deep value then ends in the abort.
// Ending the grace while the thread is within the limit puts the limit back
// in force: recursion past it raises RecursionError again.
// PyThreadState.overflowed (3.8, 3.9); from 3.10 on the grace lasts only
// while the error is being raised, and there is nothing to end.
inline void end_recursion_grace() {
#if PY_VERSION_HEX < 0x030A0000
    PyThreadState* thread = PyThreadState_Get();
    if (thread->overflowed && thread->recursion_depth < Py_GetRecursionLimit()) {
        thread->overflowed = 0;
    }
#endif
}

// ---- Changes of the namespace ------------------------------------------------

// A value that differs from every earlier one once the module's namespace
// or the builtins dict has changed, so that a name found in either can be
// remembered until then.  Up to 3.11 it is the pair of the dicts' version
// tags (PyDictObject.ma_version_tag, private, deprecated in 3.12); from
// 3.12 on a count of changes kept by a dictionary watcher (public).
struct NamespaceVersion {
    std::uint64_t globals = 0;
    std::uint64_t builtins = 0;

    bool operator==(const NamespaceVersion& other) const {
        return globals == other.globals && builtins == other.builtins;
    }
};

#if PY_VERSION_HEX >= 0x030C0000
inline std::uint64_t namespace_changes = 0;
inline int namespace_watcher = -1;

// Called before each change of a watched dict.
inline int count_namespace_change(PyDict_WatchEvent, PyObject*, PyObject*,
                                  PyObject*) {
    ++namespace_changes;
    return 0;
}
#endif

// Starts following changes of the two dicts.  Returns 0 or -1.
inline int watch_namespace(PyObject* globals, PyObject* builtins) {
#if PY_VERSION_HEX >= 0x030C0000
    if (namespace_watcher < 0) {
        namespace_watcher = PyDict_AddWatcher(count_namespace_change);
        if (namespace_watcher < 0) {
            return -1;
        }
    }
    ++namespace_changes;
    if (PyDict_Watch(namespace_watcher, globals) < 0 ||
        PyDict_Watch(namespace_watcher, builtins) < 0) {
        return -1;
    }
#else
    (void)globals;
    (void)builtins;
#endif
    return 0;
}

// The version of the two dicts now.
inline NamespaceVersion namespace_version(PyObject* globals, PyObject* builtins) {
#if PY_VERSION_HEX >= 0x030C0000
    (void)globals;
    (void)builtins;
    return {namespace_changes, 0};
#else
    return {reinterpret_cast<PyDictObject*>(globals)->ma_version_tag,
            reinterpret_cast<PyDictObject*>(builtins)->ma_version_tag};
#endif
}

}  // namespace velk
