#include "codec/text_writer.hpp"

#include <cstring>

namespace velk {

int TextWriter::write_text_of(PyObject* item) {
    if (PyUnicode_CheckExact(item)) {
        return write(item);
    }
    if (PyLong_CheckExact(item)) {
        return _PyLong_FormatWriter(&writer_, item, 10, 0);
    }
    if (PyFloat_CheckExact(item)) {
        // The same digits as float.__repr__, which str() of a float is.
        char* digits = PyOS_double_to_string(PyFloat_AS_DOUBLE(item), 'r', 0,
                                             Py_DTSF_ADD_DOT_0, nullptr);
        if (digits == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        int status = _PyUnicodeWriter_WriteASCIIString(
            &writer_, digits, static_cast<Py_ssize_t>(std::strlen(digits)));
        PyMem_Free(digits);
        return status;
    }
    // str() of a nested container recurses inside the interpreter.
    if (check_recursion_limit(" while getting the str of an object") < 0) {
        return -1;
    }
    Ref text = Ref::steal(PyObject_Str(item));
    return text ? write(text.get()) : -1;
}

}  // namespace velk
