// A value text read in one of the forms of the property tables: the one
// reading shared by object and colour records.
#include "frame/frame.hpp"
#include "values/values.hpp"

namespace velk {

namespace {

// cls(int(value)).
PyObject* read_member(PyObject* cls, PyObject* value) {
    Ref number = Ref::steal(parse_int(value));
    if (!number) {
        return nullptr;
    }
    PyObject* args[] = {number.get()};
    return _PyObject_Vectorcall(cls, args, 1, nullptr);
}

// HSV.from_string(value), with HSV as the namespace binds it now.
PyObject* read_hsv(PyObject* value) {
    Ref hsv = Ref::steal(lookup_global(name_hsv));
    if (!hsv) {
        return nullptr;
    }
    return PyObject_CallMethodObjArgs(hsv.get(), strings.from_string_attr,
                                      value, nullptr);
}

// PlayerColor(int(value)), with PlayerColor as the namespace binds it now.
PyObject* read_player_color(PyObject* value) {
    Ref player_color = Ref::steal(lookup_global(name_player_color));
    if (!player_color) {
        return nullptr;
    }
    return read_member(player_color.get(), value);
}

}  // namespace

PyObject* read_value(ValueForm form, PyObject* enumeration, PyObject* value) {
    switch (form) {
        case ValueForm::integer:
            return parse_int(value);
        case ValueForm::flag:
            return PyBool_FromLong(is_true_flag(value));
        case ValueForm::number:
            return maybefloat(value);
        case ValueForm::groups:
            return ints_from_str(value);
        case ValueForm::hsv:
            return read_hsv(value);
        case ValueForm::enumeration:
            return read_member(enumeration, value);
        case ValueForm::player_color:
            return read_player_color(value);
        case ValueForm::base64:
            return b64_failsafe(value, false);
        case ValueForm::text:
            break;
    }
    Py_INCREF(value);
    return value;
}

bool read_value_text(ValueForm form, const Py_UCS1* text, Py_ssize_t size,
                     PyObject** out) {
    switch (form) {
        case ValueForm::integer:
            return integer_from_text(text, size, out);
        case ValueForm::flag:
            *out = PyBool_FromLong(size == 1 && text[0] == '1');
            return true;
        case ValueForm::number:
            return number_from_text(text, size, out);
        default:
            return false;
    }
}

}  // namespace velk
