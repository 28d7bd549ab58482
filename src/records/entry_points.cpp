// The object and colour record entry points: each checks its one argument
// and runs the record codec with its record kind's delimiter and reading.
#include "codec/codec.hpp"
#include "frame/frame.hpp"
#include "records/records.hpp"

namespace velk {

namespace {

// A record string split on `delim`, its values read as `kind` says.
PyObject* convert_entry(const char* name, PyObject* string, PyObject* delim,
                        RecordKind kind) {
    if (check_argument_type(string, &PyUnicode_Type, "string") < 0) {
        return nullptr;
    }
    return traced(name, convert_record(string, delim,
                                       PairConverter::reading(kind)));
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

PyObject* py_object_convert(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    PyObject* string = single_argument("_object_convert", args, nargs, kwnames);
    return string ? convert_entry("_velkc._object_convert", string,
                                  strings.comma.get(), RecordKind::object)
                  : nullptr;
}

PyObject* py_object_dump(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    PyObject* some_dict = single_argument("_object_dump", args, nargs, kwnames);
    return some_dict ? dump_entry("_velkc._object_dump", some_dict,
                                  tables.OBJECT_ADDITIONAL.get())
                     : nullptr;
}

PyObject* py_object_collect(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    PyObject* some_dict =
        single_argument("_object_collect", args, nargs, kwnames);
    return some_dict ? collect_entry("_velkc._object_collect", some_dict,
                                     strings.comma.get())
                     : nullptr;
}

PyObject* py_color_convert(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    PyObject* string = single_argument("_color_convert", args, nargs, kwnames);
    return string ? convert_entry("_velkc._color_convert", string,
                                  strings.underscore.get(), RecordKind::colour)
                  : nullptr;
}

PyObject* py_color_dump(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyObject* some_dict = single_argument("_color_dump", args, nargs, kwnames);
    return some_dict ? dump_entry("_velkc._color_dump", some_dict, nullptr)
                     : nullptr;
}

PyObject* py_color_collect(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    PyObject* some_dict = single_argument("_color_collect", args, nargs, kwnames);
    return some_dict ? collect_entry("_velkc._color_collect", some_dict,
                                     strings.underscore.get())
                     : nullptr;
}

}  // namespace velk
