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

#if defined(__linux__)

// The stack of one thread.
struct StackBounds {
    pthread_t thread;
    std::uintptr_t low = 0;   // the lowest address the stack may reach
    std::uintptr_t high = 0;  // its top; 0 for an empty entry
    std::uintptr_t margin = 0;
};

// The stacks of the threads that called last.  Every call holds the
// interpreter's lock, so one table serves every thread (thread-local storage
// of a loaded module trips LeakSanitizer's check at exit); an entry counts
// only for its own thread and while the frame lies within its bounds, so a
// thread that reuses an ended thread's identity is looked up again.
StackBounds known_stacks[8];
unsigned next_entry = 0;

const StackBounds* look_up_bounds(pthread_t thread) {
    pthread_attr_t attributes;
    if (pthread_getattr_np(thread, &attributes) != 0) {
        return nullptr;
    }
    void* address = nullptr;
    std::size_t size = 0;
    StackBounds* entry = nullptr;
    if (pthread_attr_getstack(&attributes, &address, &size) == 0 && size > 0) {
        entry = &known_stacks[next_entry++ % 8];
        entry->thread = thread;
        entry->low = reinterpret_cast<std::uintptr_t>(address);
        entry->high = entry->low + size;
        entry->margin = size / 4 < full_margin ? size / 4 : full_margin;
    }
    pthread_attr_destroy(&attributes);
    return entry;
}

const StackBounds* bounds_of(pthread_t thread, std::uintptr_t here) {
    for (const StackBounds& entry : known_stacks) {
        if (entry.high != 0 && pthread_equal(entry.thread, thread) &&
            here >= entry.low && here < entry.high) {
            return &entry;
        }
    }
    return look_up_bounds(thread);
}

#endif

}  // namespace

bool stack_nearly_full() {
#if defined(__linux__)
    // The frame's own address, not a local's: AddressSanitizer may move
    // locals to a heap-allocated stack of its own.
    auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    const StackBounds* bounds = bounds_of(pthread_self(), here);
    // A frame outside its thread's stack (a library that runs code on stacks
    // of its own) is left to the interpreter's counters.
    return bounds && here >= bounds->low && here < bounds->high &&
           here - bounds->low < bounds->margin;
#else
    return false;
#endif
}

}  // namespace velk
