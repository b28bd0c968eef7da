// Argument binding: fills a function's parameter slots from a call, or
// raises the TypeError such a call deserves.
#pragma once

#include "state.hpp"

namespace fdef {

inline constexpr Py_ssize_t max_params = 3;

// What binding needs to know of a function. Parameters past `required`
// (only spawn_id) default to "".
struct Signature {
    const char* name;
    const char* params[max_params];
    Py_ssize_t required;
    Py_ssize_t total;
};

// Each fills slots[0..sig.total) with borrowed references and returns 0,
// or raises TypeError and returns -1. Keywords come as a vectorcall name
// tuple whose values follow the positional arguments, or as a dict (maybe
// NULL) from tp_call.
int bind_vector(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** slots) noexcept;
int bind_dict(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwargs,
              PyObject** slots) noexcept;

}  // namespace fdef
