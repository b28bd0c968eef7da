// The one callable type behind all seven module functions. A static row
// gives each instance its name, docstring, parameters and body; calls bind
// their arguments from the row before the body runs.
#pragma once

#include "runtime.hpp"

namespace fdef {

inline constexpr Py_ssize_t max_params = 3;

// A body receives the module namespace and every parameter already bound
// (borrowed), and returns a new reference or NULL with an exception set.
using Body = PyObject* (*)(PyObject* globals, PyObject* const* args) noexcept;

struct FunctionRow {
    const char* name;
    const char* doc;
    const char* params[max_params];
    Py_ssize_t required;  // parameters without a default
    Py_ssize_t total;     // all parameters; past `required` only spawn_id, default ""
    Body body;
};

// Creates the function type of the module (a heap type) or returns NULL.
PyObject* make_function_type() noexcept;

// A new function object for `row`, bound to `module`, or NULL.
PyObject* make_function(const FunctionRow& row, PyObject* module) noexcept;

// Whether obj is one of the module's function objects.
bool is_module_function(PyObject* obj) noexcept;

// Whether obj is this module's own function whose body is `body`, so that
// running the body directly (under a Depth) is exactly what calling obj
// with bound arguments would do.
bool is_own_function(PyObject* obj, Body body) noexcept;

// Counts one more level of the call depth, as every entry of the module's
// functions does; 0, or -1 with RecursionError set (the interpreter's limit,
// or too little C stack left).
int enter_call_depth() noexcept;

// One level of the call depth, held for a body entered directly: a loop of
// module functions calling each other still ends in RecursionError at the
// same depth.
class Depth {
public:
    Depth() noexcept : failed_(enter_call_depth() != 0) {}
    Depth(const Depth&) = delete;
    Depth& operator=(const Depth&) = delete;
    ~Depth() {
        if (!failed_) {
            compat::leave_recursive_call();
        }
    }
    // True when the limit was hit; RecursionError is set.
    bool failed() const noexcept { return failed_; }

private:
    bool failed_;
};

// Calls one of the module's functions with positional arguments only,
// binding and checking them exactly as a call from Python would.
PyObject* call_module_function(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace fdef
