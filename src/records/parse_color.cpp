// A colour record's value text read by its key, through the colour tables
// in their fixed order.
#include "frame/frame.hpp"
#include "records/records.hpp"
#include "values/values.hpp"

namespace velk {

PyObject* parse_color(PyObject* key, PyObject* value) {
    return traced("_velkc._parse_color",
                  read_value(key_kinds[key_number(key)].colour, nullptr, value));
}

bool colour_from_text(int key_number, const Py_UCS1* text, Py_ssize_t size,
                      PyObject** out) {
    if (!read_value_text(key_kinds[key_number].colour, text, size, out)) {
        return false;
    }
    if (*out == nullptr) {
        add_traceback("_velkc._parse_color");
    }
    return true;
}

}  // namespace velk
