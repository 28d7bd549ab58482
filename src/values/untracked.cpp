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
// A record is untracked once read when none of its values is followed by the
// collector (see `convert_record`). CPython tracks a dictionary again as
// soon as a value it may track is stored in it, so a record that is given a
// list or an object later is followed as usual. A set is never tracked
// again: a set of groups that a caller fills with an object referring back
// to the set makes a cycle the collector does not see, which stays in memory
// (a leak of that cycle, never a crash: the collector takes what an
// untracked container holds to be referred to from outside, and keeps it).
#include "values/values.hpp"

namespace velk {

PyObject* untracked_ints(PyObject* set) {
    if (set != nullptr) {
        PyObject_GC_UnTrack(set);
    }
    return set;
}

}  // namespace velk
