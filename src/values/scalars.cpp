// Numbers, flags and group lists read from their record text.
#include "frame/frame.hpp"
#include "values/values.hpp"

#include <cstring>

namespace velk {

namespace {

// Digits with an optional "-" that surely fit a long long, and floats short
// enough for a small buffer, are read straight from the text.  Every other
// text (signs, spaces, underscores, other digits, long numbers, malformed
// text) is left to the host's int() and float(), whose results and messages
// are the reference.
constexpr Py_ssize_t max_direct_digits = 18;
constexpr Py_ssize_t max_direct_float = 64;

// Texts made only of the characters of a plain decimal float.
bool is_plain_float_text(const Py_UCS1* text, Py_ssize_t size) {
    for (Py_ssize_t i = 0; i < size; ++i) {
        Py_UCS1 c = text[i];
        if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' ||
              c == 'e' || c == 'E')) {
            return false;
        }
    }
    return size > 0;
}

const Py_UCS1* ascii_data(PyObject* string) {
    return PyUnicode_IS_COMPACT_ASCII(string)
               ? static_cast<const Py_UCS1*>(PyUnicode_DATA(string))
               : nullptr;
}

// float(string) with the host's parser, and its messages on failure.
PyObject* parse_float(PyObject* string) {
    double number;
    if (const Py_UCS1* text = ascii_data(string)) {
        if (read_plain_float(text, PyUnicode_GET_LENGTH(string), &number)) {
            return PyFloat_FromDouble(number);
        }
    }
    return PyFloat_FromString(string);
}

PyObject* read_number(PyObject* string) {
    if (string == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return nullptr;
    }
    Py_ssize_t dot = PyUnicode_FindChar(string, '.', 0,
                                        PyUnicode_GET_LENGTH(string), 1);
    if (dot == -2) {
        return nullptr;
    }
    return dot >= 0 ? parse_float(string) : parse_int(string);
}

// The groups of an ASCII text whose pieces are all plain integers, read in
// place; nullptr without an exception when a piece is not plain.
PyObject* read_plain_groups(const Py_UCS1* text, Py_ssize_t size) {
    Ref groups = Ref::steal(PySet_New(nullptr));
    if (!groups) {
        return nullptr;
    }
    const Py_UCS1* end = text + size;
    for (const Py_UCS1* start = text;; ) {
        const Py_UCS1* stop = start;
        while (stop != end && *stop != '.') {
            ++stop;
        }
        long long number;
        if (!read_plain_integer(start, stop - start, &number)) {
            return nullptr;
        }
        Ref group = Ref::steal(PyLong_FromLongLong(number));
        if (!group || PySet_Add(groups.get(), group.get()) < 0) {
            return nullptr;
        }
        if (stop == end) {
            return groups.release();
        }
        start = stop + 1;
    }
}

PyObject* read_groups(PyObject* string) {
    if (string == Py_None || PyUnicode_GET_LENGTH(string) == 0) {
        return PySet_New(nullptr);
    }
    if (const Py_UCS1* text = ascii_data(string)) {
        PyObject* groups =
            read_plain_groups(text, PyUnicode_GET_LENGTH(string));
        if (groups || PyErr_Occurred()) {
            return groups;
        }
    }
    Ref pieces = Ref::steal(PyUnicode_Split(string, strings.dot, -1));
    Ref groups = Ref::steal(PySet_New(nullptr));
    if (!pieces || !groups) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pieces.get()); ++i) {
        Ref group = Ref::steal(parse_int(PyList_GET_ITEM(pieces.get(), i)));
        if (!group || PySet_Add(groups.get(), group.get()) < 0) {
            return nullptr;
        }
    }
    return groups.release();
}

}  // namespace

bool read_plain_integer(const Py_UCS1* text, Py_ssize_t size,
                        long long* number) {
    bool negative = size > 0 && text[0] == '-';
    Py_ssize_t digits = size - negative;
    if (digits < 1 || digits > max_direct_digits) {
        return false;
    }
    long long value = 0;
    for (Py_ssize_t i = negative; i < size; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        value = value * 10 + (text[i] - '0');
    }
    *number = negative ? -value : value;
    return true;
}

bool read_plain_float(const Py_UCS1* text, Py_ssize_t size, double* number) {
    // The host's own parser, on a terminated copy of the text.
    char buffer[max_direct_float];
    if (size >= max_direct_float || !is_plain_float_text(text, size)) {
        return false;
    }
    std::memcpy(buffer, text, size);
    buffer[size] = '\0';
    char* end = nullptr;
    double value = PyOS_string_to_double(buffer, &end, nullptr);
    if (value == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (end != buffer + size) {
        return false;
    }
    *number = value;
    return true;
}

PyObject* parse_int(PyObject* string) {
    long long number;
    if (PyUnicode_CheckExact(string)) {
        if (const Py_UCS1* text = ascii_data(string)) {
            if (read_plain_integer(text, PyUnicode_GET_LENGTH(string), &number)) {
                return PyLong_FromLongLong(number);
            }
        }
    }
    return PyNumber_Long(string);
}

bool integer_in_place(const Py_UCS1* text, Py_ssize_t size, PyObject** out) {
    long long number;
    if (!read_plain_integer(text, size, &number)) {
        return false;
    }
    *out = PyLong_FromLongLong(number);
    return true;
}

bool number_in_place(const Py_UCS1* text, Py_ssize_t size, PyObject** out) {
    if (std::memchr(text, '.', size) == nullptr) {
        return integer_in_place(text, size, out);
    }
    double number;
    if (!read_plain_float(text, size, &number)) {
        return false;
    }
    *out = PyFloat_FromDouble(number);
    return true;
}

PyObject* maybefloat(PyObject* string) {
    return traced("_velkc._maybefloat", read_number(string));
}

bool is_true_flag(PyObject* string) {
    return PyUnicode_Check(string) && PyUnicode_GET_LENGTH(string) == 1 &&
           PyUnicode_READ_CHAR(string, 0) == '1';
}

PyObject* ints_from_str(PyObject* string) {
    return traced("_velkc._ints_from_str", read_groups(string));
}

}  // namespace velk
