// The one place that knows which CPython release offers which API.
// Call sites use the modern names; each shim says when the real one arrived.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

// PyMODINIT_FUNC marks the entry as exported (visibility "default") only
// from 3.9; the module is built with hidden visibility, so say it here.
#define FDEF_MODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*

namespace fdef::compat {

// Py_NewRef: added in 3.10.
inline PyObject* new_ref(PyObject* o) noexcept {
    Py_INCREF(o);
    return o;
}

// PyDict_GetItemRef: added in 3.13. Returns 1 (found, strong reference in
// *out), 0 (absent, *out NULL) or -1 (the lookup raised).
inline int dict_get_item_ref(PyObject* dict, PyObject* key, PyObject** out) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, out);
#else
    PyObject* item = PyDict_GetItemWithError(dict, key);
    if (item != nullptr) {
        Py_INCREF(item);
        *out = item;
        return 1;
    }
    *out = nullptr;
    return PyErr_Occurred() ? -1 : 0;
#endif
}

// Vectorcall: private names in 3.8, public from 3.9. On 3.7 the private
// fast-call entry avoids building a tuple for Python functions.
#if PY_VERSION_HEX >= 0x03090000
using vectorcall_func = vectorcallfunc;
inline constexpr unsigned long tpflags_have_vectorcall = Py_TPFLAGS_HAVE_VECTORCALL;
inline constexpr std::size_t vectorcall_arguments_offset = PY_VECTORCALL_ARGUMENTS_OFFSET;
inline Py_ssize_t vectorcall_nargs(std::size_t n) noexcept { return PyVectorcall_NARGS(n); }
#elif PY_VERSION_HEX >= 0x03080000
using vectorcall_func = vectorcallfunc;
inline constexpr unsigned long tpflags_have_vectorcall = _Py_TPFLAGS_HAVE_VECTORCALL;
inline constexpr std::size_t vectorcall_arguments_offset = PY_VECTORCALL_ARGUMENTS_OFFSET;
inline Py_ssize_t vectorcall_nargs(std::size_t n) noexcept { return PyVectorcall_NARGS(n); }
#else
using vectorcall_func = PyObject* (*)(PyObject*, PyObject* const*, std::size_t, PyObject*);
inline constexpr unsigned long tpflags_have_vectorcall = 0;
inline constexpr std::size_t vectorcall_arguments_offset = 0;
inline Py_ssize_t vectorcall_nargs(std::size_t n) noexcept { return static_cast<Py_ssize_t>(n); }
#endif

// PyObject_Vectorcall: public from 3.9, underscored in 3.8. `args` may be
// written at args[-1] when nargsf carries the offset flag.
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
#elif PY_VERSION_HEX >= 0x03080000
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
#else
    return _PyObject_FastCallKeywords(callable, const_cast<PyObject**>(args), vectorcall_nargs(nargsf), kwnames);
#endif
}

#if PY_VERSION_HEX < 0x03090000
// The lookup behind the interpreter's LOAD_METHOD (3.7 and 3.8 export it
// without declaring it): 1 with the unbound method in *method, 0 with the
// attribute itself, or 0 and NULL with an exception set.
extern "C" int _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);
#endif

// PyObject_VectorcallMethod: added in 3.9. Like it, the shim calls a method
// the type defines with self first instead of making a bound method (1.7%
// of a vKORIN call's instructions on 3.7).
inline PyObject* call_method(PyObject* name, PyObject* const* args, std::size_t nargsf) noexcept {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_VectorcallMethod(name, args, nargsf, nullptr);
#else
    PyObject* method = nullptr;
    const int unbound = _PyObject_GetMethod(args[0], name, &method);
    if (method == nullptr) {
        return nullptr;
    }
    const Py_ssize_t nargs = vectorcall_nargs(nargsf);
    PyObject* result;
#if PY_VERSION_HEX < 0x03080000
    if (unbound && Py_TYPE(method) == &PyMethodDescr_Type) {
        // The generic 3.7 fast call would pack a tuple for a descriptor.
        result = _PyMethodDescr_FastCallKeywords(method, args, nargs, nullptr);
    } else
#endif
    {
        result = unbound ? vectorcall(method, args, static_cast<std::size_t>(nargs), nullptr)
                         : vectorcall(method, args + 1, static_cast<std::size_t>(nargs - 1), nullptr);
    }
    Py_DECREF(method);
    return result;
#endif
}

// PyInterpreterState_Get: added in 3.9.
inline PyInterpreterState* current_interpreter() noexcept {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_Get();
#else
    return PyThreadState_Get()->interp;
#endif
}

// Py_EnterRecursiveCall became a function in 3.9; before that a macro that
// wants a non-const char*.
inline int enter_recursive_call(const char* where) noexcept { return Py_EnterRecursiveCall(const_cast<char*>(where)); }
inline void leave_recursive_call() noexcept { Py_LeaveRecursiveCall(); }

// Heap types made from a spec learnt "__vectorcalloffset__" and
// "__weaklistoffset__" members in 3.9; before that the offsets (and the
// vectorcall flag, 3.8) are written into the new type before any instance
// exists.
inline void set_member_offsets(PyTypeObject* type, Py_ssize_t weaklist, Py_ssize_t vectorcall) noexcept {
#if PY_VERSION_HEX < 0x03090000
    type->tp_weaklistoffset = weaklist;
#if PY_VERSION_HEX >= 0x03080000
    type->tp_vectorcall_offset = vectorcall;
    type->tp_flags |= tpflags_have_vectorcall;
#else
    (void)vectorcall;
#endif
#else
    (void)type;
    (void)weaklist;
    (void)vectorcall;
#endif
}

// Py_TPFLAGS_IMMUTABLETYPE: added in 3.10; the attributes of the type
// itself cannot be set from Python.
#ifdef Py_TPFLAGS_IMMUTABLETYPE
inline constexpr unsigned long tpflags_immutable = Py_TPFLAGS_IMMUTABLETYPE;
#else
inline constexpr unsigned long tpflags_immutable = 0;
#endif

// Py_TPFLAGS_DISALLOW_INSTANTIATION: added in 3.10. Before it, a heap type
// inherits object's tp_new, so it is cleared by hand.
#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
inline constexpr unsigned long tpflags_no_instances = Py_TPFLAGS_DISALLOW_INSTANTIATION;
inline void disallow_instantiation(PyTypeObject*) noexcept {}
#else
inline constexpr unsigned long tpflags_no_instances = 0;
inline void disallow_instantiation(PyTypeObject* type) noexcept { type->tp_new = nullptr; }
#endif

}  // namespace fdef::compat

// Offset members of a spec's member table: understood from 3.9.
#if PY_VERSION_HEX >= 0x03090000
#define FDEF_OFFSET_MEMBER(name, offset) {const_cast<char*>(name), T_PYSSIZET, (offset), READONLY, nullptr},
#else
#define FDEF_OFFSET_MEMBER(name, offset)
#endif
