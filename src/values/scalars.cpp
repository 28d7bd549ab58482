// Numbers, flags and group lists read from their record text.
#include "frame/frame.hpp"
#include "values/values.hpp"

namespace velk {

namespace {

// Digits with an optional "-" that surely fit a long long: read straight
// from the text.  Every other text (signs, spaces, underscores, other
// digits, long numbers, malformed text) is left to the host's int(), whose
// results and messages are the reference.
constexpr Py_ssize_t max_direct_digits = 18;

bool read_plain_integer(PyObject* string, long long* number) {
    if (!PyUnicode_IS_COMPACT_ASCII(string)) {
        return false;
    }
    const char* text = static_cast<const char*>(PyUnicode_DATA(string));
    Py_ssize_t size = PyUnicode_GET_LENGTH(string);
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

// Texts made only of the characters of a plain decimal float.
bool is_plain_float_text(const char* text, Py_ssize_t size) {
    for (Py_ssize_t i = 0; i < size; ++i) {
        char c = text[i];
        if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' ||
              c == 'e' || c == 'E')) {
            return false;
        }
    }
    return size > 0;
}

// float(string) with the host's parser, and its messages on failure.
PyObject* parse_float(PyObject* string) {
    if (PyUnicode_IS_COMPACT_ASCII(string)) {
        const char* text = static_cast<const char*>(PyUnicode_DATA(string));
        Py_ssize_t size = PyUnicode_GET_LENGTH(string);
        if (is_plain_float_text(text, size)) {
            char* end = nullptr;
            double number = PyOS_string_to_double(text, &end, nullptr);
            if (end == text + size && !(number == -1.0 && PyErr_Occurred())) {
                return PyFloat_FromDouble(number);
            }
            PyErr_Clear();
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

PyObject* read_groups(PyObject* string) {
    if (string == Py_None || PyUnicode_GET_LENGTH(string) == 0) {
        return PySet_New(nullptr);
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

PyObject* parse_int(PyObject* string) {
    long long number;
    if (PyUnicode_CheckExact(string) && read_plain_integer(string, &number)) {
        return PyLong_FromLongLong(number);
    }
    return PyNumber_Long(string);
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
