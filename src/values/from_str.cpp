// An object record's value text read by its key, through the property
// tables in their fixed order: the first table that holds the key decides.
#include "frame/frame.hpp"
#include "values/values.hpp"

namespace velk {

PyObject* read_hsv(PyObject* value) {
    Ref hsv = Ref::steal(lookup_global(name_hsv));
    if (!hsv) {
        return nullptr;
    }
    return PyObject_CallMethodObjArgs(hsv.get(), strings.from_string_attr, value,
                                      nullptr);
}

PyObject* read_member(PyObject* cls, PyObject* value) {
    Ref number = Ref::steal(parse_int(value));
    if (!number) {
        return nullptr;
    }
    PyObject* args[] = {number.get()};
    return _PyObject_Vectorcall(cls, args, 1, nullptr);
}

namespace {

PyObject* read_object_value(PyObject* key, PyObject* value) {
    const KeyKinds& kinds = key_kinds[key_number(key)];
    switch (kinds.object) {
        case ObjectValue::integer:
            return parse_int(value);
        case ObjectValue::flag:
            return PyBool_FromLong(is_true_flag(value));
        case ObjectValue::number:
            return maybefloat(value);
        case ObjectValue::groups:
            return ints_from_str(value);
        case ObjectValue::hsv:
            return read_hsv(value);
        case ObjectValue::enumeration:
            return read_member(kinds.enumeration, value);
        case ObjectValue::base64:
            return b64_failsafe(value, false);
        case ObjectValue::text:
            break;
    }
    Py_INCREF(value);
    return value;
}

}  // namespace

bool from_text(int key_number, const Py_UCS1* text, Py_ssize_t size,
               PyObject** out) {
    bool read;
    switch (key_kinds[key_number].object) {
        case ObjectValue::integer:
            read = integer_from_text(text, size, out);
            break;
        case ObjectValue::flag:
            *out = PyBool_FromLong(size == 1 && text[0] == '1');
            return true;
        case ObjectValue::number:
            read = number_from_text(text, size, out);
            break;
        default:
            return false;
    }
    if (read && *out == nullptr) {
        add_traceback("_velkc._from_str");
    }
    return read;
}

PyObject* from_str(PyObject* key, PyObject* value) {
    return traced("_velkc._from_str", read_object_value(key, value));
}

}  // namespace velk
