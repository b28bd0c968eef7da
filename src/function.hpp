// The one callable type behind all seven module functions. A static row
// gives each instance its name, docstring, parameters and body; both call
// entries bind the arguments from the row before the body runs.
#pragma once

#include "binding.hpp"

namespace fdef {

// A body receives the module namespace and every parameter already bound
// (borrowed), and returns a new reference or NULL with an exception set.
using Body = PyObject* (*)(PyObject* globals, PyObject* const* args) noexcept;

struct FunctionRow {
    Signature sig;
    const char* doc;
    Body body;
};

// Creates the function type of the module (a heap type) or returns NULL.
PyObject* make_function_type() noexcept;

// A new function object for `row`, bound to `module`, or NULL.
PyObject* make_function(const FunctionRow& row, PyObject* module) noexcept;

}  // namespace fdef
