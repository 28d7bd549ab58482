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

}  // namespace velk
