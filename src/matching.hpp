// Applying one action to a text, and walking a pattern table.
#pragma once

#include "runtime.hpp"

namespace fdef {

// invokeaction(input_value, action, spawn_id="")
PyObject* invokeaction(PyObject* globals, PyObject* const* args) noexcept;

// get_key_value(input_value, dict_name)
PyObject* get_key_value(PyObject* globals, PyObject* const* args) noexcept;

// What invokeaction does with a pattern action: re.search(pattern,
// input_value) and, on a match, its group() then groups(). 1 with `whole`
// and `groups` set, 0 for no match, -1 with an exception set. For callers
// that know they would reach invokeaction's pattern path and do not need
// the list it makes.
int search_pattern(PyObject* globals, PyObject* input_value, PyObject* pattern, Ref& whole, Ref& groups) noexcept;

}  // namespace fdef
