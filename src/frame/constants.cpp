// The module's process-wide constants: captured builtins, constant strings,
// the shared empty table and the names looked up at call time.
#include "frame/frame.hpp"

namespace velk {

Kept captured_staticmethod;
Strings strings;
Kept empty_table;
Kept iter_to_str_function;
Kept original_chain;

GlobalName name_coder{"Coder"};
GlobalName name_hsv{"HSV"};
GlobalName name_player_color{"PlayerColor"};
GlobalName name_chain{"chain"};
GlobalName name_enum{"Enum"};

namespace {

int intern(Kept& slot, const char* text) {
    if (!slot) {
        slot.reset(Ref::steal(PyUnicode_InternFromString(text)));
        // Computing the hash now spares every later dictionary test.
        if (!slot || PyObject_Hash(slot.get()) == -1) {
            return -1;
        }
    }
    return 0;
}

}  // namespace

int create_strings() {
    if (intern(strings.underscore, "_") < 0 || intern(strings.comma, ",") < 0 ||
        intern(strings.dot, ".") < 0 || intern(strings.pipe, "|") < 0 ||
        intern(strings.class_attr, "__class__") < 0 ||
        intern(strings.mro_attr, "__mro__") < 0 ||
        intern(strings.value_attr, "value") < 0 ||
        intern(strings.from_string_attr, "from_string") < 0 ||
        intern(strings.do_base64_attr, "do_base64") < 0 ||
        intern(strings.from_iterable_attr, "from_iterable") < 0 ||
        intern(strings.items_attr, "items") < 0) {
        return -1;
    }
    for (int n = 1; n <= max_key; ++n) {
        char text[4];
        PyOS_snprintf(text, sizeof text, "%d", n);
        if (intern(strings.keys[n], text) < 0) {
            return -1;
        }
    }
    // Made with the constants rather than later in initialisation, so that
    // `_dump` has its default table even in a module whose initialisation
    // failed after registering it in sys.modules.
    if (!empty_table) {
        empty_table.reset(Ref::steal(PyDict_New()));
        if (!empty_table) {
            return -1;
        }
    }
    if (!strings.encode_kwnames) {
        strings.encode_kwnames.reset(
            Ref::steal(Py_BuildValue("(s)", "encode")));
        if (!strings.encode_kwnames) {
            return -1;
        }
    }
    GlobalName* names[] = {&name_coder, &name_hsv, &name_player_color,
                           &name_chain, &name_enum};
    for (GlobalName* name : names) {
        if (intern_name(*name) < 0) {
            return -1;
        }
    }
    return 0;
}

PyObject* shared_key_text(int number) {
    static Kept beyond_tables[1000];
    if (number <= max_key) {
        return strings.keys[number].get();
    }
    if (!beyond_tables[number]) {
        char text[4];
        PyOS_snprintf(text, sizeof text, "%d", number);
        if (intern(beyond_tables[number], text) < 0) {
            return nullptr;
        }
    }
    return beyond_tables[number].get();
}

}  // namespace velk
