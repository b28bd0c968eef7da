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
PyObject* make_function_type(PyObject* module) noexcept;

// A new function object for `row`, bound to `module`, or NULL.
PyObject* make_function(const FunctionRow& row, PyObject* module) noexcept;

// Whether obj is one of the module's function objects.
bool is_module_function(PyObject* obj) noexcept;

// Calls one of the module's functions with positional arguments only,
// binding and checking them exactly as a call from Python would.
PyObject* call_module_function(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace fdef
