// The object and colour record entry points: each checks its one argument
// and runs the record codec with its record kind's delimiter and converter.
#include "codec/codec.hpp"
#include "frame/frame.hpp"
#include "records/records.hpp"
#include "values/values.hpp"

namespace velk {

namespace {

PyObject* object_adapter = nullptr;  // wrap(key, value) around from_str
PyObject* colour_adapter = nullptr;  // wrap(key, value) around parse_color

int make_adapter(PyObject*& slot, PairFunction function, TextFunction direct) {
    if (slot == nullptr) {
        slot = make_pair_adapter(function, direct);
    }
    return slot ? 0 : -1;
}

// A record string read with `delim` and the pair adapter `adapter`.
PyObject* convert_entry(const char* name, PyObject* string, PyObject* delim,
                        PyObject* adapter) {
    if (check_argument_type(string, &PyUnicode_Type, "string") < 0) {
        return nullptr;
    }
    return traced(name, convert_record(string, delim, adapter));
}

PyObject* dump_entry(const char* name, PyObject* some_dict,
                     PyObject* additional) {
    if (check_argument_type(some_dict, &PyDict_Type, "some_dict") < 0) {
        return nullptr;
    }
    return traced(name, dump_record(some_dict, additional));
}

PyObject* collect_entry(const char* name, PyObject* some_dict,
                        PyObject* delim) {
    if (check_argument_type(some_dict, &PyDict_Type, "some_dict") < 0) {
        return nullptr;
    }
    return traced(name, collect_record(some_dict, delim));
}

}  // namespace

int create_record_adapters() {
    return (make_adapter(object_adapter, from_str, from_text) < 0 ||
            make_adapter(colour_adapter, parse_color, colour_from_text) < 0)
               ? -1
               : 0;
}

PyObject* py_object_convert(PyObject*, PyObject* string) {
    return convert_entry("_velkc._object_convert", string, strings.comma,
                         object_adapter);
}

PyObject* py_object_dump(PyObject*, PyObject* some_dict) {
    return dump_entry("_velkc._object_dump", some_dict, tables.OBJECT_ADDITIONAL);
}

PyObject* py_object_collect(PyObject*, PyObject* some_dict) {
    return collect_entry("_velkc._object_collect", some_dict, strings.comma);
}

PyObject* py_color_convert(PyObject*, PyObject* string) {
    return convert_entry("_velkc._color_convert", string, strings.underscore,
                         colour_adapter);
}

PyObject* py_color_dump(PyObject*, PyObject* some_dict) {
    return dump_entry("_velkc._color_dump", some_dict, nullptr);
}

PyObject* py_color_collect(PyObject*, PyObject* some_dict) {
    return collect_entry("_velkc._color_collect", some_dict, strings.underscore);
}

}  // namespace velk
