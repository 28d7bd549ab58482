// A colour record's value text read by its key, through the colour tables
// in their fixed order.
#include "frame/frame.hpp"
#include "records/records.hpp"
#include "values/values.hpp"

namespace velk {

namespace {

PyObject* read_player_color(PyObject* value) {
    Ref player_color = Ref::steal(lookup_global(name_player_color));
    if (!player_color) {
        return nullptr;
    }
    return read_member(player_color.get(), value);
}

PyObject* read_colour_value(PyObject* key, PyObject* value) {
    switch (key_kinds[key_number(key)].colour) {
        case ColourValue::integer:
            return parse_int(value);
        case ColourValue::flag:
            return PyBool_FromLong(is_true_flag(value));
        case ColourValue::number:
            return maybefloat(value);
        case ColourValue::hsv:
            return read_hsv(value);
        case ColourValue::player:
            return read_player_color(value);
        case ColourValue::text:
            break;
    }
    Py_INCREF(value);
    return value;
}

}  // namespace

bool colour_from_text(int key_number, const Py_UCS1* text, Py_ssize_t size,
                      PyObject** out) {
    bool read;
    switch (key_kinds[key_number].colour) {
        case ColourValue::integer:
            read = integer_from_text(text, size, out);
            break;
        case ColourValue::flag:
            *out = PyBool_FromLong(size == 1 && text[0] == '1');
            return true;
        case ColourValue::number:
            read = number_from_text(text, size, out);
            break;
        default:
            return false;
    }
    if (read && *out == nullptr) {
        add_traceback("_velkc._parse_color");
    }
    return read;
}

PyObject* parse_color(PyObject* key, PyObject* value) {
    return traced("_velkc._parse_color", read_colour_value(key, value));
}

}  // namespace velk
