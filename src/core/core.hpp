// What every file of the module shares: the owned-reference type, the
// traceback helper, the error messages that several subsystems raise, name
// lookup in the module's namespace and argument binding.
//
// Every function that returns PyObject* follows the C API's protocol: a new
// reference, or nullptr with an exception set.  Functions returning int give
// 0 (or a truth value) on success and -1 with an exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "core/compat.hpp"

namespace velk {

// An owned reference.  `steal` takes over a reference the caller holds,
// `borrow` takes a new one; `release` hands the reference back to the caller.
// Move-only, so every early return releases what it holds.
class Ref {
public:
    Ref() noexcept = default;
    Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        // Through a temporary: the old object is released only after this
        // Ref already holds the new one, whatever its destructor runs.
        Ref old(std::move(*this));
        ptr_ = other.ptr_;
        other.ptr_ = nullptr;
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(ptr_); }

    static Ref steal(PyObject* ptr) noexcept { return Ref(ptr); }
    static Ref borrow(PyObject* ptr) noexcept {
        Py_XINCREF(ptr);
        return Ref(ptr);
    }

    PyObject* get() const noexcept { return ptr_; }
    PyObject* release() noexcept {
        PyObject* ptr = ptr_;
        ptr_ = nullptr;
        return ptr;
    }
    // A new reference to the held object, for returning it while keeping it.
    PyObject* new_ref() const noexcept {
        Py_XINCREF(ptr_);
        return ptr_;
    }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit Ref(PyObject* ptr) noexcept : ptr_(ptr) {}
    PyObject* ptr_ = nullptr;
};

// An owned reference that the module keeps beyond one call: a constant, a
// table, the namespace, a name's last binding.  Every object the module
// keeps is held this way, so that no Python code (a hostile one that
// empties a table reached through gc.get_objects(), say) can free it under
// the module.  Replacing the object (a retried initialisation, a refreshed
// cache) releases the old one only after the new one is in place.
//
// It is never released by its destructor: the module's globals are
// destroyed after the interpreter is finalised, when no reference may be
// touched any more; the objects are the interpreter's to reclaim.
class Kept {
public:
    constexpr Kept() noexcept = default;
    Kept(const Kept&) = delete;
    Kept& operator=(const Kept&) = delete;

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    // A new reference to the kept object.
    PyObject* new_ref() const noexcept {
        Py_XINCREF(ptr_);
        return ptr_;
    }
    // Keeps `object` instead of what was kept; an empty Ref keeps nothing.
    void reset(Ref object) noexcept {
        Ref old = Ref::steal(ptr_);
        ptr_ = object.release();
    }

private:
    PyObject* ptr_ = nullptr;
};

// ---- Tracebacks ------------------------------------------------------------

// Adds a traceback entry whose function name is `name` ("_velkc._convert",
// "init _velkc") to the exception being raised.  `name` is one of the
// module's literals, which live as long as the process.
void add_traceback(const char* name);

// Returns `result` unchanged; when it is nullptr, first adds the traceback
// entry `name`.  Lets a function end with `return traced(name, work(...));`.
inline PyObject* traced(const char* name, PyObject* result) {
    if (result == nullptr) {
        add_traceback(name);
    }
    return result;
}

// Sets the globals under which the module's traceback frames are made.
void set_traceback_globals(PyObject* globals);

// ---- Recursion ---------------------------------------------------------------

// Called before work that may recurse (a nested collection, str() of an
// arbitrary object): raises RecursionError "maximum recursion depth
// exceeded<where>" when the thread is already as deep as the interpreter's
// recursion limit allows, whatever grace the interpreter grants after an
// earlier RecursionError (see end_recursion_grace), or when its C stack is
// nearly full; ends that grace otherwise.  Returns 0 or -1.
int check_recursion_limit(const char* where);

// Whether the current thread's C stack has less left than a level of work
// may need.  False where the stack's bounds cannot be known.
bool stack_nearly_full();

// ---- Messages shared by several subsystems ---------------------------------

// AttributeError "'NoneType' object has no attribute '<method>'": what an
// absent object reports when the method about to be called is looked up.
std::nullptr_t raise_none_attribute(const char* method);

// Accepts None or an object of exactly `type`; anything else raises
// TypeError "Expected <kind>, got <type name>".  Returns 0 or -1.
int expect_exact(PyObject* obj, PyTypeObject* type, const char* kind);

// Accepts None or an object of exactly `type`; anything else raises
// TypeError "Argument '<name>' has incorrect type (expected ..., got ...)".
// Returns 0 or -1.
int check_argument_type(PyObject* obj, PyTypeObject* type, const char* name);

// ---- Names -----------------------------------------------------------------

// Where names are looked up: the module's namespace, then the builtins.
// Both dictionaries are set at initialisation.
struct Namespace {
    Kept globals;
    Kept builtins;  // the builtins module's dict
};
extern Namespace ns;

// Makes `globals` and `builtins` the namespace of every later lookup.
// Returns 0 or -1.
int enter_namespace(PyObject* globals, PyObject* builtins);

// A name looked up at every use.  The last result is remembered with the
// version of both dictionaries, so a lookup costs a comparison until either
// dictionary changes.
struct GlobalName {
    constexpr explicit GlobalName(const char* text) : text(text) {}

    const char* text;
    Kept name;  // interned, created at initialisation
    NamespaceVersion version;
    Kept cached;  // what the name was bound to at `version`
};

// Creates the name object of `entry`.  Returns 0 or -1.
int intern_name(GlobalName& entry);

// The object bound to `entry`'s name (new reference), or NameError
// "name '<name>' is not defined".
PyObject* lookup_global(GlobalName& entry);
// The same for a name looked up once, as initialisation does.
PyObject* lookup_name(const char* text);

// What `entry`'s name was last found bound to, when neither dictionary has
// changed since, else nullptr; looks nothing up and raises nothing.
// Borrowed from the entry, so for a test that runs no code before it is
// done with it.
inline PyObject* cached_global(const GlobalName& entry) {
    NamespaceVersion now =
        namespace_version(ns.globals.get(), ns.builtins.get());
    return entry.version == now ? entry.cached.get() : nullptr;
}

// ---- Argument binding ------------------------------------------------------

// The argument of a one-argument function called the vectorcall way, or
// nullptr with TypeError "<function>() takes no keyword arguments" or
// "<function>() takes exactly one argument (<n> given)", which name the
// function alone, as CPython 3.8's single-argument convention does (later
// versions name the module too).  Borrowed from the call's arguments.
PyObject* single_argument(const char* function, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames);

// The parameters of a function called with positional and keyword arguments.
struct Signature {
    const char* function;         // bare name, for the messages
    const char* traced_name;      // "_velkc.<function>", its traceback entry
    const char* const* params;    // parameter names, in order
    PyTypeObject* const* types;   // exact type per parameter, or nullptr: any
    Py_ssize_t count;             // number of parameters
    Py_ssize_t required;          // leading parameters without a default
};

// Binds a call's positional tuple and keyword dict (which may be nullptr)
// to `out[0..count)`, each an owned reference for the whole call; an absent
// optional parameter stays empty.
// On a wrong count or keyword raises the module's TypeError and adds the
// traceback entry "_velkc.<function>".  Then checks each given argument
// against its parameter's exact type (None passes), in order, adding no
// entry.  Returns 0 or -1.
int bind_arguments(const Signature& sig, PyObject* args, PyObject* kwds,
                   Ref* out);

}  // namespace velk
