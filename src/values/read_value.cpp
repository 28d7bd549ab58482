// A record's value text read by its key: the one reading shared by object
// and colour records, each kind with its own tables.
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
    return vectorcall(cls, args, 1, nullptr);
}

// HSV.from_string(value), with HSV as the namespace binds it now.
PyObject* read_hsv(PyObject* value) {
    Ref hsv = Ref::steal(lookup_global(name_hsv));
    if (!hsv) {
        return nullptr;
    }
    return PyObject_CallMethodObjArgs(hsv.get(), strings.from_string_attr.get(),
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

PyObject* read_value(const KeyKinds& kinds, RecordKind kind, PyObject* value) {
    switch (kinds.in(kind)) {
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
        case ValueForm::enumeration: {
            // Held for the call, whose code may retry the initialisation,
            // which keeps a new class in its place.
            Ref cls = Ref::borrow(kinds.enumeration.get());
            return read_member(cls.get(), value);
        }
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

// The name under which a kind's reading shows in tracebacks.
const char* traced_name(RecordKind kind) {
    return kind == RecordKind::object ? "_velkc._from_str" : "_velkc._parse_color";
}

}  // namespace

PyObject* read_by_key(RecordKind kind, PyObject* key, PyObject* value) {
    return traced(traced_name(kind),
                  read_value(key_kinds[key_number(key)], kind, value));
}

bool read_in_place(RecordKind kind, int key_number, const Py_UCS1* text,
                   Py_ssize_t size, PyObject** out) {
    bool read;
    switch (key_kinds[key_number].in(kind)) {
        case ValueForm::integer:
            read = integer_in_place(text, size, out);
            break;
        case ValueForm::flag:
            *out = PyBool_FromLong(size == 1 && text[0] == '1');
            read = true;
            break;
        case ValueForm::number:
            read = number_in_place(text, size, out);
            break;
        default:
            read = false;
            break;
    }
    if (read && *out == nullptr) {
        add_traceback(traced_name(kind));
    }
    return read;
}

}  // namespace velk
