// The five device-model detectors, each (version, spawn_id=""); spawn_id is
// accepted and never used.
#pragma once

#include "state.hpp"

namespace fdef {

PyObject* fetch_kveos_details(PyObject* globals, PyObject* const* args) noexcept;
PyObject* get_garu_details(PyObject* globals, PyObject* const* args) noexcept;
PyObject* get_vkorin_details(PyObject* globals, PyObject* const* args) noexcept;
PyObject* get_prav_details(PyObject* globals, PyObject* const* args) noexcept;
PyObject* get_tolm_details(PyObject* globals, PyObject* const* args) noexcept;

}  // namespace fdef
