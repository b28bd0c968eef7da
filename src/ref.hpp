// Owned references, and the late-bound name lookup every function body uses.
//
// The rules every file of the module keeps:
// - A Ref owns one strong reference; a raw PyObject* is always borrowed,
//   and lives no longer than whatever lent it. A Ref comes from steal() (a
//   new reference, as the C API's calls return) or borrow() (a reference
//   added to a borrowed object), lends with get() and hands over with
//   release().
// - A step (a call into Python, a lookup) that returns an empty Ref has
//   failed with an exception set, and no step returns one without it; the
//   functions CPython calls hand that on as their NULL or -1. (A Ref not
//   yet given a value is empty too, and says nothing.)
// - Steps chain by testing the previous one: `Ref b = a ? f(a.get()) :
//   Ref();` runs f only when a succeeded, and an empty b carries a's
//   exception on. A chain is read top to bottom and tested once at its end.
#pragma once

// Python.h first, as CPython asks: its pyconfig.h sets the feature macros
// (_XOPEN_SOURCE, _POSIX_C_SOURCE) that a standard header would set otherwise.
#include "compat.hpp"

#include <utility>

namespace fdef {

// A move-only owner of one strong reference (the rules above).
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        reset(other.obj_);
        other.obj_ = nullptr;
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    // Takes over a new reference (or NULL from a failed call).
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

    // Hands the reference over to the caller.
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

    // Stores the new value before dropping the old one: the drop may run
    // arbitrary code that must not see a dangling pointer here.
    void reset(PyObject* stolen = nullptr) noexcept {
        PyObject* old = std::exchange(obj_, stolen);
        Py_XDECREF(old);
    }

    // Forgets the object without releasing it: only for values that belong
    // to an interpreter that has already been finalised.
    void abandon() noexcept { obj_ = nullptr; }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// Finds a module-level name as Python code does: the module namespace, then
// the builtins, else NameError. Looked up afresh at every use, so rebinding
// or deleting the name in the namespace takes effect at the next call.
inline Ref lookup_name(PyObject* globals, PyObject* builtins, PyObject* name) noexcept {
    PyObject* found = nullptr;
    int rc = PyDict_GetItemRef(globals, name, &found);
    if (rc == 0) {
        rc = PyDict_GetItemRef(builtins, name, &found);
    }
    if (rc == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return Ref::steal(found);
}

}  // namespace fdef
