// The module frame: what initialisation builds and every subsystem reads.
// All of it is process-wide, written once while the module initialises and
// only read afterwards (a retried initialisation writes it again).  Every
// object here is Kept: owned by the module until the process ends.
#pragma once

#include "core/core.hpp"

namespace velk {

// The builtin `staticmethod` as initialisation found it, which installs
// `byte_xor` on `Coder`.
extern Kept captured_staticmethod;

// Highest property number that a key text can hold.
constexpr int max_key = 108;
// The object records' text property, the one key with a dumper of its own.
constexpr int text_key = 31;

// The module's constant strings, created and hashed once.
struct Strings {
    Kept underscore;      // "_": colour delimiter, default joiner
    Kept comma;           // ",": object delimiter
    Kept dot;             // ".": group lists and joined collections
    Kept pipe;            // "|": joins dumped dictionaries
    Kept encode_kwnames;  // ("encode",)
    Kept class_attr;      // "__class__"
    Kept mro_attr;        // "__mro__"
    Kept value_attr;      // "value"
    Kept from_string_attr;
    Kept do_base64_attr;
    Kept from_iterable_attr;
    Kept items_attr;
    // The texts "1" to "108", one shared object each; keys[0] is unused.
    Kept keys[max_key + 1];
};
extern Strings strings;

// The property tables.  Each holds None until initialisation builds it; the
// kinds are set, str (one key) and dict.
struct Tables {
    Kept INT;
    Kept BOOL;
    Kept FLOAT;
    Kept HSV;
    Kept TEXT;
    Kept GROUPS;
    Kept Z_LAYER;
    Kept EASING;
    Kept PULSE_MODE;
    Kept PULSE_TYPE;
    Kept PICKUP_MODE;
    Kept TOUCH_TOGGLE;
    Kept COMP;
    Kept TARGET_COORDS;
    Kept ENUMS;
    Kept OBJECT_ADDITIONAL;
    Kept MAPPING;
    Kept COLOR_INT;
    Kept COLOR_BOOL;
    Kept COLOR_PLAYER;
    Kept COLOR_FLOAT;
    Kept COLOR_HSV;
};
extern Tables tables;

// One table slot by name, for the star import, which may store into a
// table whose name a companion module exports.
struct TableSlot {
    const char* name;
    Kept* slot;
    PyTypeObject* kind;
    const char* kind_name;  // as the type messages write it
};
// The slot named `name`, or nullptr.
const TableSlot* find_table(const char* name);
// Sets every table to None.
void reset_tables();
// Builds every table, in order, then the key classification.  Returns 0/-1.
int build_tables();

// The two kinds of record, each with its own tables.
enum class RecordKind : unsigned char { object, colour };

// How a value is read, by its key, in each kind of record: the tables
// compiled once into one entry per key number, so that choosing the
// conversion of a key costs one small parse of its text.
enum class ValueForm : unsigned char {
    text, integer, flag, number, groups, hsv, enumeration, base64, player_color
};
struct KeyKinds {
    ValueForm object = ValueForm::text;
    ValueForm colour = ValueForm::text;
    // The class that _ENUMS held for the key when the tables were built.
    // Kept apart from the table, which Python code can reach and empty.
    Kept enumeration;

    ValueForm in(RecordKind kind) const {
        return kind == RecordKind::object ? object : colour;
    }
};
extern KeyKinds key_kinds[max_key + 1];

// The number written by the characters [data, data + size) of a one-byte
// string when they are a number of at most three digits, with no sign and
// no leading zero ("1" to "999"), else 0.
inline int key_text_number(const Py_UCS1* data, Py_ssize_t size) {
    if (size < 1 || size > 3 || data[0] < '1' || data[0] > '9') {
        return 0;
    }
    int number = 0;
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (data[i] < '0' || data[i] > '9') {
            return 0;
        }
        number = number * 10 + (data[i] - '0');
    }
    return number;
}

// The property number held by the characters [data, data + size) of a
// one-byte string when they are exactly a key text ("1" to "108"), else 0.
inline int key_number(const Py_UCS1* data, Py_ssize_t size) {
    int number = key_text_number(data, size);
    return number <= max_key ? number : 0;
}

// The one shared str of the number `number` (1 to 999, as
// `key_text_number` reads them), borrowed, or nullptr with MemoryError.
// Records repeat the same few keys beyond the tables ("128", "155"), so
// each of those is made on its first use, its hash computed once, and kept.
PyObject* shared_key_text(int number);

// The same for a str.
inline int key_number(PyObject* key) {
    if (!PyUnicode_Check(key) || !PyUnicode_IS_READY(key) ||
        PyUnicode_KIND(key) != PyUnicode_1BYTE_KIND) {
        return 0;
    }
    return key_number(PyUnicode_1BYTE_DATA(key), PyUnicode_GET_LENGTH(key));
}

// The shared empty table: `_dump`'s default table of additional dumpers.
extern Kept empty_table;

// The names looked up at call time in the module's namespace.
extern GlobalName name_coder;
extern GlobalName name_hsv;
extern GlobalName name_player_color;
extern GlobalName name_chain;
extern GlobalName name_enum;

// The exported `_iter_to_str` as the namespace held it when the tables were
// built; `_MAPPING` refers to it.
extern Kept iter_to_str_function;
// `itertools.chain` as imported at initialisation.
extern Kept original_chain;

// Creates the constant strings and the shared empty table (once per
// process).  Returns 0 or -1.
int create_strings();

// Imports the companion modules and binds their names in the namespace.
// Returns 0 or -1.
int import_companions(PyObject* module);

}  // namespace velk
