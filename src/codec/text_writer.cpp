#include "codec/text_writer.hpp"

#include <charconv>
#include <cstring>

namespace velk {

int TextWriter::write_ascii(const char* text, std::size_t size) {
    return writer_write_ascii(&writer_, text, static_cast<Py_ssize_t>(size));
}

int TextWriter::write_text_of(PyObject* item) {
    if (PyUnicode_CheckExact(item)) {
        return write(item);
    }
    if (PyLong_CheckExact(item)) {
        // Ints that fit 64 bits are written here, digit for digit as str()
        // writes them; larger ones go to str(), with its own limits.
        int overflow = 0;
        long long number = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (!overflow) {
            char digits[24];
            auto written = std::to_chars(digits, digits + sizeof digits, number);
            return write_ascii(digits, written.ptr - digits);
        }
    } else if (PyFloat_CheckExact(item)) {
        // The same digits as float.__repr__, which str() of a float is.
        char* digits = PyOS_double_to_string(PyFloat_AS_DOUBLE(item), 'r', 0,
                                             Py_DTSF_ADD_DOT_0, nullptr);
        if (digits == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        int status = write_ascii(digits, std::strlen(digits));
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
