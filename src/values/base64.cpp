// Base64 text through the companion coder, falling back to the text itself.
#include "core/compat.hpp"
#include "frame/frame.hpp"
#include "values/values.hpp"

namespace velk {

namespace {

// Coder.do_base64(string, encode=<flag>), required to be a str or None.
PyObject* run_coder(PyObject* string, bool encode) {
    Ref coder = Ref::steal(lookup_global(name_coder));
    if (!coder) {
        return nullptr;
    }
    Ref do_base64 =
        Ref::steal(PyObject_GetAttr(coder.get(), strings.do_base64_attr.get()));
    if (!do_base64) {
        return nullptr;
    }
    PyObject* args[] = {string, encode ? Py_True : Py_False};
    Ref result = Ref::steal(
        vectorcall(do_base64.get(), args, 1, strings.encode_kwnames.get()));
    if (!result || expect_exact(result.get(), &PyUnicode_Type, "unicode") < 0) {
        return nullptr;
    }
    return result.release();
}

}  // namespace

PyObject* b64_failsafe(PyObject* string, bool encode) {
    PyObject* result = run_coder(string, encode);
    if (result != nullptr) {
        return result;
    }
    // Text that does not code stays as it is; only errors that are not an
    // Exception (KeyboardInterrupt, SystemExit) get through.
    if (PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
        // The error may have been a RecursionError, whose grace must not
        // outlive it.
        end_recursion_grace();
        Py_INCREF(string);
        return string;
    }
    return traced("_velkc._b64_failsafe", nullptr);
}

}  // namespace velk
