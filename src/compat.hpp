// The one place that knows which CPython release offers which API.
//
// Each shim carries the name of the CPython API it stands in for, with the
// release that added the real one, and exists only where the headers lack
// it: the rest of the module is written against the newest CPython and
// tests no version. What is not an API of its own (a behaviour of older
// releases to work around) is a helper in fdef::compat, named for what it
// does. The private entries that older releases are fast through sit in a
// marked block of their own.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

// ---- public APIs, back-ported ----------------------------------------------

#if PY_VERSION_HEX < 0x030A0000
// Py_NewRef: added in 3.10.
static inline PyObject* Py_NewRef(PyObject* obj) {
    Py_INCREF(obj);
    return obj;
}
#endif

#if PY_VERSION_HEX < 0x030D0000
// PyDict_GetItemRef: added in 3.13. 1 with a strong reference in *result,
// 0 with NULL when the key is absent, -1 when the lookup raised.
static inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result) {
    PyObject* item = PyDict_GetItemWithError(dict, key);
    *result = item != nullptr ? Py_NewRef(item) : nullptr;
    return item != nullptr ? 1 : (PyErr_Occurred() ? -1 : 0);
}
#endif

#if PY_VERSION_HEX < 0x030E00B1
// PyImport_ImportModuleAttrString: added in 3.14.
static inline PyObject* PyImport_ImportModuleAttrString(const char* modname, const char* attrname) {
    PyObject* module = PyImport_ImportModule(modname);
    if (module == nullptr) {
        return nullptr;
    }
    PyObject* attr = PyObject_GetAttrString(module, attrname);
    Py_DECREF(module);
    return attr;
}
#endif

#if PY_VERSION_HEX < 0x03090000
// PyInterpreterState_Get: added in 3.9.
static inline PyInterpreterState* PyInterpreterState_Get() { return PyThreadState_Get()->interp; }
#endif

#if PY_VERSION_HEX < 0x03080000
// vectorcallfunc, PY_VECTORCALL_ARGUMENTS_OFFSET and PyVectorcall_NARGS:
// added in 3.8. 3.7 has no vectorcall protocol; its fast-call entry (below)
// takes the same argument array, so the module calls in one shape.
typedef PyObject* (*vectorcallfunc)(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames);
#define PY_VECTORCALL_ARGUMENTS_OFFSET ((size_t)1 << (8 * sizeof(size_t) - 1))
static inline Py_ssize_t PyVectorcall_NARGS(size_t nargsf) {
    return static_cast<Py_ssize_t>(nargsf & ~PY_VECTORCALL_ARGUMENTS_OFFSET);
}
#endif

#ifndef Py_TPFLAGS_HAVE_VECTORCALL
#ifdef _Py_TPFLAGS_HAVE_VECTORCALL
// Py_TPFLAGS_HAVE_VECTORCALL: added in 3.9, underscored in 3.8.
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#else
// 3.7: no type calls by vectorcall, so the flag is no flag.
#define Py_TPFLAGS_HAVE_VECTORCALL 0
#endif
#endif

#ifndef Py_TPFLAGS_IMMUTABLETYPE
// Py_TPFLAGS_IMMUTABLETYPE: added in 3.10. Before it a heap type's own
// attributes can be set from Python; nothing else stops that.
#define Py_TPFLAGS_IMMUTABLETYPE 0
#endif

#ifndef Py_TPFLAGS_DISALLOW_INSTANTIATION
// Py_TPFLAGS_DISALLOW_INSTANTIATION: added in 3.10; before it see
// fdef::compat::disallow_instantiation.
#define Py_TPFLAGS_DISALLOW_INSTANTIATION 0
#define FDEF_NEEDS_TP_NEW_CLEARED 1
#endif

// ---- private entries: the speed paths of 3.7 and 3.8 -------------------------
//
// These CPython releases reach the fast entries below only by their private
// names. Each says what it saves, measured with bench/run.py --count.

#if PY_VERSION_HEX < 0x03090000
// PyObject_Vectorcall: added in 3.9; 3.8 has it as _PyObject_Vectorcall.
// 3.7's _PyObject_FastCallKeywords takes the same array, and is the only
// entry there that calls without packing a tuple (7.9% of an invokeaction
// call with a callable action and a handle on 3.7, against PyObject_Call).
static inline PyObject* PyObject_Vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                            PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03080000
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
#else
    return _PyObject_FastCallKeywords(callable, args, PyVectorcall_NARGS(nargsf), kwnames);
#endif
}

// The lookup behind the interpreter's LOAD_METHOD, which 3.7 and 3.8
// export without declaring: 1 with the unbound method in *method, 0 with
// the attribute itself, or 0 and NULL with an exception set.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): CPython's own name
extern "C" int _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);

// PyObject_VectorcallMethod: added in 3.9. Like it, the shim calls a method
// the type defines with self first instead of making a bound method (1.7%
// of a vKORIN call's instructions on 3.7).
static inline PyObject* PyObject_VectorcallMethod(PyObject* name, PyObject* const* args, size_t nargsf,
                                                  PyObject* kwnames) {
    PyObject* method = nullptr;
    const int unbound = _PyObject_GetMethod(args[0], name, &method);
    if (method == nullptr) {
        return nullptr;
    }
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* result;
#if PY_VERSION_HEX < 0x03080000
    if (unbound && Py_TYPE(method) == &PyMethodDescr_Type) {
        // 3.7's generic fast call would pack a tuple for a method descriptor.
        result = _PyMethodDescr_FastCallKeywords(method, args, nargs, kwnames);
    } else
#endif
    {
        result = unbound ? PyObject_Vectorcall(method, args, static_cast<size_t>(nargs), kwnames)
                         : PyObject_Vectorcall(method, args + 1, static_cast<size_t>(nargs - 1), kwnames);
    }
    Py_DECREF(method);
    return result;
}
#endif

// ---- behaviours of older releases -------------------------------------------

// PyMODINIT_FUNC marks the entry as exported (visibility "default") only
// from 3.9; the module is built with hidden visibility, so say it here.
#define FDEF_MODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*

// Heap types made from a spec learnt "__vectorcalloffset__" and
// "__weaklistoffset__" members in 3.9: before that, a member table names
// none (FDEF_OFFSET_MEMBER is empty) and set_member_offsets writes the
// offsets, and 3.8's vectorcall flag, into the new type before any instance
// exists.
#if PY_VERSION_HEX >= 0x03090000
#define FDEF_OFFSET_MEMBER(name, offset) {const_cast<char*>(name), T_PYSSIZET, (offset), READONLY, nullptr},
#else
#define FDEF_OFFSET_MEMBER(name, offset)
#endif

// Py_mod_gil: added in 3.13. The module's use of the GIL is declared where
// the headers know the slot, so that a free-threaded CPython enables the
// GIL for it instead of running it unguarded.
#ifdef Py_mod_gil
#define FDEF_MOD_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_USED},
#else
#define FDEF_MOD_GIL_SLOT
#endif

namespace fdef::compat {

inline void set_member_offsets(PyTypeObject* type, Py_ssize_t weaklist, Py_ssize_t vectorcall) noexcept {
#if PY_VERSION_HEX < 0x03090000
    type->tp_weaklistoffset = weaklist;
#if PY_VERSION_HEX >= 0x03080000
    type->tp_vectorcall_offset = vectorcall;
    type->tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
#else
    (void)vectorcall;
#endif
#else
    (void)type;
    (void)weaklist;
    (void)vectorcall;
#endif
}

// Before Py_TPFLAGS_DISALLOW_INSTANTIATION (3.10) a heap type inherits
// object's tp_new, so calling the type would make an instance with no row:
// clear it by hand.
inline void disallow_instantiation(PyTypeObject* type) noexcept {
#ifdef FDEF_NEEDS_TP_NEW_CLEARED
    type->tp_new = nullptr;
#else
    (void)type;
#endif
}

}  // namespace fdef::compat
