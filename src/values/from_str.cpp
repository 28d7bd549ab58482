// An object record's value text read by its key, through the property
// tables in their fixed order: the first table that holds the key decides.
#include "frame/frame.hpp"
#include "values/values.hpp"

namespace velk {

PyObject* from_str(PyObject* key, PyObject* value) {
    const KeyKinds& kinds = key_kinds[key_number(key)];
    return traced("_velkc._from_str",
                  read_value(kinds.object, kinds.enumeration, value));
}

bool from_text(int key_number, const Py_UCS1* text, Py_ssize_t size,
               PyObject** out) {
    if (!read_value_text(key_kinds[key_number].object, text, size, out)) {
        return false;
    }
    if (*out == nullptr) {
        add_traceback("_velkc._from_str");
    }
    return true;
}

}  // namespace velk
