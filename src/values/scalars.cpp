// Numbers, flags and group lists read from their record text.
#include "frame/frame.hpp"
#include "values/values.hpp"

#include <cstdint>
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

// The exact decimal: a "-" or not, digits with one "." among them, at most
// 2**53 as a whole number and at most 22 digits after the point.  Both that
// whole number and the power of ten are exact doubles, so one division,
// which IEEE rounds correctly, gives the double nearest the text, as the
// host's parser does (the classic fast path of correctly rounded parsers).
// False for any other text.
bool read_short_decimal(const Py_UCS1* text, Py_ssize_t size, double* number) {
    static const double powers_of_ten[] = {
        1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    constexpr std::uint64_t exact_limit = std::uint64_t{1} << 53;
    bool negative = size > 0 && text[0] == '-';
    std::uint64_t whole = 0;
    Py_ssize_t point = -1;
    Py_ssize_t digits = 0;
    for (Py_ssize_t i = negative; i < size; ++i) {
        Py_UCS1 c = text[i];
        if (c == '.' && point < 0) {
            point = i;
        } else if (c >= '0' && c <= '9' && digits < 19) {
            whole = whole * 10 + (c - '0');
            ++digits;
        } else {
            return false;
        }
    }
    Py_ssize_t decimals = point < 0 ? 0 : size - point - 1;
    if (digits == 0 || whole > exact_limit || decimals > 22) {
        return false;
    }
    double value = static_cast<double>(whole) / powers_of_ten[decimals];
    *number = negative ? -value : value;
    return true;
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
    Ref pieces = Ref::steal(PyUnicode_Split(string, strings.dot.get(), -1));
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
    if (read_short_decimal(text, size, number)) {
        return true;
    }
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
    return traced("_velkc._ints_from_str", untracked_ints(read_groups(string)));
}

}  // namespace velk
