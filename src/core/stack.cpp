// How much of its C stack the current thread has left.  The interpreter's
// recursion counters assume the stack of a main thread; a thread started
// after threading.stack_size(512 * 1024) has a sixteenth of that, and a
// level of the module's own recursion takes more stack than a level of the
// interpreter's.  Counting levels alone would let such a thread run off
// the end of its stack, so every level also looks at the stack itself.
#include "core/core.hpp"

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace velk {

namespace {

// What a level leaves untouched below it: room to raise the error, and to
// run what the deepest level calls (a str(), a dumper, the coder), which
// the interpreter bounds by its counters alone.  A small stack gives up a
// quarter of itself at most, so that shallow work still fits in it.
constexpr std::uintptr_t full_margin = 64 * 1024;

struct StackBounds {
    std::uintptr_t low = 0;   // the lowest address the stack may reach
    std::uintptr_t high = 0;  // its top
    std::uintptr_t margin = 0;
    bool looked_up = false;
};

// Each thread's own stack, looked up on its first check.
thread_local StackBounds bounds;

void look_up_bounds() {
    bounds.looked_up = true;
#if defined(__linux__)
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
        return;
    }
    void* address = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attributes, &address, &size) == 0 && size > 0) {
        bounds.low = reinterpret_cast<std::uintptr_t>(address);
        bounds.high = bounds.low + size;
        bounds.margin = size / 4 < full_margin ? size / 4 : full_margin;
    }
    pthread_attr_destroy(&attributes);
#endif
}

}  // namespace

bool stack_nearly_full() {
    if (!bounds.looked_up) {
        look_up_bounds();
    }
    // The frame's own address, not a local's: AddressSanitizer may move
    // locals to a heap-allocated stack of its own.
    auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    // A stack of unknown bounds, or a frame outside them (a library that runs
    // code on stacks of its own), is left to the interpreter's counters.
    return here > bounds.low && here < bounds.high &&
           here - bounds.low < bounds.margin;
}

}  // namespace velk
