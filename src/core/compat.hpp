// What differs between the CPython versions the module builds for.  Each
// helper says which interpreter internals it reads and for which versions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace velk {

// How many levels deep the current thread is, as the interpreter counts for
// its recursion limit: Python frames and C calls that entered a recursive
// call.  `PyThreadState.recursion_depth` (3.8).
inline int thread_recursion_depth() {
    return PyThreadState_Get()->recursion_depth;
}

// After a RecursionError, CPython 3.8 lets the thread recurse up to 50
// levels past the limit, so that the code handling the error can run, until
// its depth falls 50 below the limit again; past those 50 levels it aborts
// the process ("Cannot recover from stack overflow").  A RecursionError
// that was caught near the limit (by a handler that then calls the module,
// by the garbage collector around a failing callback it ran during one of
// our allocations, by the module's base64 fallback) leaves that grace on,
// and walking a deep value then ends in the abort.  Ending the grace while
// the thread is within the limit puts the limit back in force: recursion
// past it raises RecursionError again.  `PyThreadState.overflowed` (3.8).
inline void end_recursion_grace() {
    PyThreadState* thread = PyThreadState_Get();
    if (thread->overflowed && thread->recursion_depth < Py_GetRecursionLimit()) {
        thread->overflowed = 0;
    }
}

}  // namespace velk
