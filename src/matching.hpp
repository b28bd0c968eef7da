// Applying one action to a text, and walking a pattern table.
#pragma once

#include "state.hpp"

namespace fdef {

// invokeaction(input_value, action, spawn_id="")
PyObject* invokeaction(PyObject* globals, PyObject* const* args) noexcept;

// get_key_value(input_value, dict_name)
PyObject* get_key_value(PyObject* globals, PyObject* const* args) noexcept;

}  // namespace fdef
