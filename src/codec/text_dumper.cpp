// The text dumper of object records: the text property goes back into its
// base64 form.  It is an ordinary built-in function of one argument, so
// `_dump` calls it as it calls any dumper.
#include "codec/codec.hpp"
#include "values/values.hpp"

namespace velk {

namespace {

PyObject* dump_text(PyObject*, PyObject* value) {
    if (expect_exact(value, &PyUnicode_Type, "unicode") < 0) {
        return traced("_velkc.lambda", nullptr);
    }
    return traced("_velkc.lambda", b64_failsafe(value, true));
}

PyMethodDef text_dumper_def = {"lambda", dump_text, METH_O, nullptr};

}  // namespace

PyObject* make_text_dumper() {
    return PyCFunction_NewEx(&text_dumper_def, nullptr, nullptr);
}

}  // namespace velk
