// Containers the module makes that can be no part of a reference cycle are
// handed out untracked by the cyclic garbage collector.
//
// A level holds a dictionary per object and, on most objects, a set of group
// numbers. Tracked, every one of them is walked again by each full
// collection for as long as the level lives, and a collection is due every
// time the tracked objects have grown by a quarter: reading a large level
// walked the records read so far over and over, and a program holding one
// walked them all at every full collection after. A set of ints and a
// dictionary of such values refer to nothing that could refer back.
//
// A record is untracked once read when none of its values could refer back
// to it (see `convert_record`): values the collector does not follow, and
// two kinds of companion value that it does follow but that cannot lead back
// to a record. An HSV value is immutable and holds only its numbers and its
// text; it is recognised by its exact class, as the companion module defined
// it, so a replacement class or a subclass does not count. An enumeration
// member (PlayerColor, or of a class the tables name) lives as long as its class, which the module keeps: whatever a
// caller attaches to a member stays reachable through the class, never
// garbage. CPython tracks a dictionary again as soon as a value it may track
// is stored in it, so a record that is given a list or an object later is
// followed as usual. A set is never tracked
// again: a set of groups that a caller fills with an object referring back
// to the set makes a cycle the collector does not see, which stays in memory
// (a leak of that cycle, never a crash: the collector takes what an
// untracked container holds to be referred to from outside, and keeps it).
#include "values/values.hpp"

namespace velk {

namespace {

// The HSV class, PlayerColor and about ten enumerations of the tables; a
// class noted beyond this many only keeps its records tracked.
constexpr int most_classes = 32;
Kept classes[most_classes];
int class_count = 0;

}  // namespace

void forget_classes_holding_no_record() {
    for (int i = 0; i < class_count; ++i) {
        classes[i].reset(Ref());
    }
    class_count = 0;
}

void note_class_holding_no_record(PyObject* cls) {
    if (!PyType_Check(cls)) {
        return;
    }
    for (int i = 0; i < class_count; ++i) {
        if (classes[i].get() == cls) {
            return;
        }
    }
    if (class_count < most_classes) {
        classes[class_count++].reset(Ref::borrow(cls));
    }
}

bool holds_no_record(PyObject* value) {
    PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(value));
    for (int i = 0; i < class_count; ++i) {
        if (classes[i].get() == cls) {
            return true;
        }
    }
    return false;
}

PyObject* untracked_ints(PyObject* set) {
    if (set != nullptr) {
        PyObject_GC_UnTrack(set);
    }
    return set;
}

}  // namespace velk
