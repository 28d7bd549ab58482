// The property tables: which key holds which type of value.  Built once at
// initialisation, in a fixed order, then compiled into `key_kinds`.
#include "codec/codec.hpp"
#include "frame/frame.hpp"
#include "values/values.hpp"

#include <cstring>
#include <initializer_list>

namespace velk {

Tables tables;
KeyKinds key_kinds[max_key + 1];

namespace {

const TableSlot table_slots[] = {
    {"_INT", &tables.INT, &PySet_Type, "set"},
    {"_BOOL", &tables.BOOL, &PySet_Type, "set"},
    {"_FLOAT", &tables.FLOAT, &PySet_Type, "set"},
    {"_HSV", &tables.HSV, &PySet_Type, "set"},
    {"_TEXT", &tables.TEXT, &PyUnicode_Type, "unicode"},
    {"_GROUPS", &tables.GROUPS, &PyUnicode_Type, "unicode"},
    {"_Z_LAYER", &tables.Z_LAYER, &PyUnicode_Type, "unicode"},
    {"_EASING", &tables.EASING, &PyUnicode_Type, "unicode"},
    {"_PULSE_MODE", &tables.PULSE_MODE, &PyUnicode_Type, "unicode"},
    {"_PULSE_TYPE", &tables.PULSE_TYPE, &PyUnicode_Type, "unicode"},
    {"_PICKUP_MODE", &tables.PICKUP_MODE, &PyUnicode_Type, "unicode"},
    {"_TOUCH_TOGGLE", &tables.TOUCH_TOGGLE, &PyUnicode_Type, "unicode"},
    {"_COMP", &tables.COMP, &PyUnicode_Type, "unicode"},
    {"_TARGET_COORDS", &tables.TARGET_COORDS, &PyUnicode_Type, "unicode"},
    {"_ENUMS", &tables.ENUMS, &PyDict_Type, "dict"},
    {"_OBJECT_ADDITIONAL", &tables.OBJECT_ADDITIONAL, &PyDict_Type, "dict"},
    {"_MAPPING", &tables.MAPPING, &PyDict_Type, "dict"},
    {"_COLOR_INT", &tables.COLOR_INT, &PySet_Type, "set"},
    {"_COLOR_BOOL", &tables.COLOR_BOOL, &PySet_Type, "set"},
    {"_COLOR_PLAYER", &tables.COLOR_PLAYER, &PyUnicode_Type, "unicode"},
    {"_COLOR_FLOAT", &tables.COLOR_FLOAT, &PyUnicode_Type, "unicode"},
    {"_COLOR_HSV", &tables.COLOR_HSV, &PyUnicode_Type, "unicode"},
};

// Stores `value` (stolen) into a table, replacing what it held.
int set_table(Kept& table, PyObject* value) {
    if (value == nullptr) {
        return -1;
    }
    table.reset(Ref::steal(value));
    return 0;
}

PyObject* key_set(std::initializer_list<int> keys) {
    Ref set = Ref::steal(PySet_New(nullptr));
    if (!set) {
        return nullptr;
    }
    for (int key : keys) {
        if (PySet_Add(set.get(), strings.keys[key].get()) < 0) {
            return nullptr;
        }
    }
    return set.release();
}

PyObject* single_key(int key) {
    return strings.keys[key].new_ref();
}

int build_key_sets() {
    return (set_table(tables.INT, key_set({1, 7, 8, 9, 12, 20, 21, 22, 23, 24,
                                          25, 50, 51, 61, 71, 76, 77, 80, 95,
                                          108})) < 0 ||
           set_table(tables.BOOL,
                     key_set({4,  5,  11, 13, 14, 15, 16, 17, 34, 36, 41, 42,
                              56, 58, 59, 60, 62, 64, 65, 66, 67, 70, 78, 81,
                              86, 87, 89, 93, 94, 96, 98, 99, 100, 102, 103,
                              106})) < 0 ||
           set_table(tables.FLOAT,
                     key_set({2,  3,  6,  10, 28, 29, 32, 35, 45, 46, 47, 54, 63,
                              68, 69, 72, 73, 75, 84, 85, 90, 91, 92, 97, 105,
                              107})) < 0 ||
           set_table(tables.HSV, key_set({43, 44, 49})) < 0)
               ? -1
               : 0;
}

int build_single_keys() {
    return (set_table(tables.TEXT, single_key(text_key)) < 0 ||
           set_table(tables.GROUPS, single_key(57)) < 0 ||
           set_table(tables.Z_LAYER, single_key(24)) < 0 ||
           set_table(tables.EASING, single_key(30)) < 0 ||
           set_table(tables.PULSE_MODE, single_key(48)) < 0 ||
           set_table(tables.PULSE_TYPE, single_key(52)) < 0 ||
           set_table(tables.PICKUP_MODE, single_key(79)) < 0 ||
           set_table(tables.TOUCH_TOGGLE, single_key(82)) < 0 ||
           set_table(tables.COMP, single_key(88)) < 0 ||
           set_table(tables.TARGET_COORDS, single_key(101)) < 0)
               ? -1
               : 0;
}

int build_enums() {
    struct Row {
        PyObject* key;
        const char* class_name;
    };
    const Row rows[] = {
        {tables.Z_LAYER.get(), "ZLayer"},
        {tables.EASING.get(), "Easing"},
        {tables.PULSE_MODE.get(), "PulseMode"},
        {tables.PULSE_TYPE.get(), "PulseType"},
        {tables.PICKUP_MODE.get(), "PickupItemMode"},
        {tables.TOUCH_TOGGLE.get(), "TouchToggleMode"},
        {tables.COMP.get(), "InstantCountComparison"},
        {tables.TARGET_COORDS.get(), "TargetPosCoordinates"},
    };
    Ref enums = Ref::steal(PyDict_New());
    if (!enums) {
        return -1;
    }
    for (const Row& row : rows) {
        Ref cls = Ref::steal(lookup_name(row.class_name));
        if (!cls || PyDict_SetItem(enums.get(), row.key, cls.get()) < 0) {
            return -1;
        }
    }
    return set_table(tables.ENUMS, enums.release());
}

int build_object_additional() {
    Ref additional = Ref::steal(PyDict_New());
    Ref dumper = Ref::steal(make_text_dumper());
    if (!additional || !dumper ||
        PyDict_SetItem(additional.get(), tables.TEXT.get(), dumper.get()) < 0) {
        return -1;
    }
    return set_table(tables.OBJECT_ADDITIONAL, additional.release());
}

// Inserts `cls` with its attribute `dump` into `mapping`.
int map_to_dump(PyObject* mapping, const char* class_name) {
    Ref cls = Ref::steal(lookup_name(class_name));
    if (!cls) {
        return -1;
    }
    Ref dump = Ref::steal(PyObject_GetAttrString(cls.get(), "dump"));
    if (!dump) {
        return -1;
    }
    return PyDict_SetItem(mapping, cls.get(), dump.get());
}

int build_mapping() {
    Ref mapping = Ref::steal(PyDict_New());
    if (!mapping ||
        PyDict_SetItem(mapping.get(), reinterpret_cast<PyObject*>(&PyBool_Type),
                       reinterpret_cast<PyObject*>(&PyLong_Type)) < 0) {
        return -1;
    }
    Ref function = Ref::steal(lookup_name("_iter_to_str"));
    if (!function) {
        return -1;
    }
    PyTypeObject* collections[] = {&PyList_Type, &PyTuple_Type, &PySet_Type,
                                   &PyDict_Type};
    for (PyTypeObject* type : collections) {
        if (PyDict_SetItem(mapping.get(), reinterpret_cast<PyObject*>(type),
                           function.get()) < 0) {
            return -1;
        }
    }
    iter_to_str_function.reset(std::move(function));
    if (map_to_dump(mapping.get(), "Guidelines") < 0 ||
        map_to_dump(mapping.get(), "HSV") < 0) {
        return -1;
    }
    return set_table(tables.MAPPING, mapping.release());
}

int build_colour_tables() {
    return (set_table(tables.COLOR_INT, key_set({1, 2, 3, 6, 9, 11, 12, 13})) < 0 ||
           set_table(tables.COLOR_BOOL, key_set({5, 8, 15, 17, 18})) < 0 ||
           set_table(tables.COLOR_PLAYER, single_key(4)) < 0 ||
           set_table(tables.COLOR_FLOAT, single_key(7)) < 0 ||
           set_table(tables.COLOR_HSV, single_key(10)) < 0)
               ? -1
               : 0;
}

// 1 when `table` (a set of keys, a map from keys, or one key text) holds
// `key`, 0 when not, -1 on error.
int holds(PyObject* table, PyObject* key) {
    if (PyAnySet_Check(table)) {
        return PySet_Contains(table, key);
    }
    if (PyDict_Check(table)) {
        return PyDict_Contains(table, key);
    }
    int order = PyUnicode_Compare(table, key);
    return order == -1 && PyErr_Occurred() ? -1 : order == 0;
}

struct KeyTest {
    PyObject* table;
    ValueForm form;
};

// The form of the first of `tests` whose table holds `key`, text when none
// does.  Returns 0 or -1.
int classify(std::initializer_list<KeyTest> tests, PyObject* key,
             ValueForm* form) {
    for (const KeyTest& test : tests) {
        int found = holds(test.table, key);
        if (found != 0) {
            *form = test.form;
            return found < 0 ? -1 : 0;
        }
    }
    *form = ValueForm::text;
    return 0;
}

// Compiles the tables, tested in each record kind's order, into key_kinds.
int classify_keys() {
    for (int n = 1; n <= max_key; ++n) {
        PyObject* key = strings.keys[n].get();
        KeyKinds& kinds = key_kinds[n];
        PyObject* enumeration =
            PyDict_GetItemWithError(tables.ENUMS.get(), key);
        if (enumeration == nullptr && PyErr_Occurred()) {
            return -1;
        }
        kinds.enumeration.reset(Ref::borrow(enumeration));
        if (enumeration != nullptr) {
            note_class_holding_no_record(enumeration);
        }
        if (classify({{tables.INT.get(), ValueForm::integer},
                      {tables.BOOL.get(), ValueForm::flag},
                      {tables.FLOAT.get(), ValueForm::number},
                      {tables.GROUPS.get(), ValueForm::groups},
                      {tables.HSV.get(), ValueForm::hsv},
                      {tables.ENUMS.get(), ValueForm::enumeration},
                      {tables.TEXT.get(), ValueForm::base64}},
                     key, &kinds.object) < 0 ||
            classify({{tables.COLOR_INT.get(), ValueForm::integer},
                      {tables.COLOR_BOOL.get(), ValueForm::flag},
                      {tables.COLOR_FLOAT.get(), ValueForm::number},
                      {tables.COLOR_HSV.get(), ValueForm::hsv},
                      {tables.COLOR_PLAYER.get(), ValueForm::player_color}},
                     key, &kinds.colour) < 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace

const TableSlot* find_table(const char* name) {
    for (const TableSlot& slot : table_slots) {
        if (std::strcmp(slot.name, name) == 0) {
            return &slot;
        }
    }
    return nullptr;
}

void reset_tables() {
    for (const TableSlot& slot : table_slots) {
        slot.slot->reset(Ref::borrow(Py_None));
    }
}

int build_tables() {
    if (build_key_sets() < 0 || build_single_keys() < 0 || build_enums() < 0 ||
        build_object_additional() < 0 || build_mapping() < 0 ||
        build_colour_tables() < 0) {
        return -1;
    }
    return (classify_keys() < 0 || cache_builtin_mappings() < 0) ? -1 : 0;
}

}  // namespace velk
