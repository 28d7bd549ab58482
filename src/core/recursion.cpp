#include "core/core.hpp"

namespace velk {

int check_recursion_limit(const char* where) {
    end_recursion_grace();
    if (at_recursion_limit() || stack_nearly_full()) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s",
                     where);
        return -1;
    }
    return 0;
}

}  // namespace velk
