// The function type: attributes, repr, pickling by reference, the signature
// for inspect, cyclic GC, and the two call entries with their binder.
#include "function.hpp"

#include "stack_bounds.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace fdef {
namespace {

struct FunctionObject {
    PyObject_HEAD compat::vectorcall_func vectorcall;  // unused before 3.8
    const FunctionRow* row;
    PyObject* name;     // interned __name__ / __qualname__
    PyObject* modname;  // __module__
    PyObject* module;   // keeps the module, and so its constants, alive
    PyObject* globals;  // the module namespace, for late-bound names
    PyObject* weakrefs;
};

FunctionObject* as_function(PyObject* obj) noexcept { return reinterpret_cast<FunctionObject*>(obj); }

// ---- argument binding ------------------------------------------------------

// Keyword sources walked in their own order: a vectorcall name tuple with its
// values, or a keyword dict from tp_call. Both yield (key, value) pairs;
// each() stops early when the visitor returns false.
struct KeywordNames {
    PyObject* names;
    PyObject* const* values;
    Py_ssize_t size() const noexcept { return names ? PyTuple_GET_SIZE(names) : 0; }
    template <class Visit>
    void each(Visit&& visit) const noexcept {
        for (Py_ssize_t i = 0, n = size(); i < n; ++i) {
            if (!visit(PyTuple_GET_ITEM(names, i), values[i])) {
                return;
            }
        }
    }
};

struct KeywordDict {
    PyObject* dict;
    Py_ssize_t size() const noexcept { return dict ? PyDict_GET_SIZE(dict) : 0; }
    template <class Visit>
    void each(Visit&& visit) const noexcept {
        if (dict == nullptr) {
            return;
        }
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(dict, &pos, &key, &value)) {
            if (!visit(key, value)) {
                return;
            }
        }
    }
};

// Compares by content only: no __eq__ of a str subclass runs while binding.
bool names_param(PyObject* key, const char* param) noexcept {
    return PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, param) == 0;
}

template <class Keywords>
PyObject* find_keyword(const Keywords& kw, const char* param) noexcept {
    PyObject* found = nullptr;
    kw.each([&](PyObject* key, PyObject* value) {
        if (names_param(key, param)) {
            found = value;
            return false;
        }
        return true;
    });
    return found;
}

void raise_count_error(const FunctionRow& row, bool too_many, Py_ssize_t given) noexcept {
    const bool exact = row.required == row.total;
    const Py_ssize_t count = too_many ? row.total : row.required;
    const char* qualifier = exact ? "exactly" : (too_many ? "at most" : "at least");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", row.name, qualifier,
                 count, count == 1 ? "" : "s", given);
}

// Fills slots[0..row.total) with borrowed references, or raises the
// TypeError a call with these arguments deserves and returns -1.
template <class Keywords>
int bind(const FunctionRow& row, PyObject* const* args, Py_ssize_t nargs, const Keywords& kw,
         PyObject** slots) noexcept {
    if (nargs > row.total) {
        raise_count_error(row, true, nargs);
        return -1;
    }
    const Py_ssize_t nkw = kw.size();
    if (nkw == 0 && nargs < row.required) {
        raise_count_error(row, false, nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        slots[i] = args[i];
    }
    for (Py_ssize_t i = nargs; i < row.total; ++i) {
        slots[i] = nullptr;
    }
    if (nkw != 0) {
        Py_ssize_t consumed = 0;
        for (Py_ssize_t i = nargs; i < row.required; ++i) {
            slots[i] = find_keyword(kw, row.params[i]);
            if (slots[i] == nullptr) {
                raise_count_error(row, false, i);
                return -1;
            }
            ++consumed;
        }
        const Py_ssize_t optional = row.total - 1;
        if (row.total > row.required && nargs <= optional && consumed < nkw) {
            slots[optional] = find_keyword(kw, row.params[optional]);
            consumed += slots[optional] != nullptr;
        }
        if (consumed < nkw) {
            bool failed = false;
            kw.each([&](PyObject* key, PyObject* value) {
                if (!PyUnicode_Check(key)) {
                    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", row.name);
                    failed = true;
                    return false;
                }
                for (Py_ssize_t i = 0; i < row.total; ++i) {
                    if (names_param(key, row.params[i])) {
                        if (i < nargs) {
                            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                                         row.name, key);
                            failed = true;
                            return false;
                        }
                        slots[i] = value;
                        return true;
                    }
                }
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", row.name, key);
                failed = true;
                return false;
            });
            if (failed) {
                return -1;
            }
        }
    }
    for (Py_ssize_t i = row.required; i < row.total; ++i) {
        if (slots[i] == nullptr) {
            slots[i] = state.s.empty.get();
        }
    }
    return 0;
}

// ---- stack room ------------------------------------------------------------

// Kept free below the deepest call (at most): room to raise RecursionError,
// and for whatever runs between two of the module's calls.
constexpr std::uintptr_t stack_margin = std::uintptr_t{256} * 1024;

// The lowest stack address this thread's calls may reach (0 when unknown),
// found once per thread.
std::uintptr_t stack_floor() noexcept {
    thread_local std::uintptr_t floor = 1;  // 1: not looked up yet
    if (floor == 1) {
        const StackBounds stack = thread_stack_bounds();
        // A quarter of a small stack.
        floor = stack.low == 0 ? 0 : stack.low + std::min<std::uintptr_t>(stack_margin, stack.size / 4);
    }
    return floor;
}

// The interpreter's recursion limit counts calls, not bytes: from 3.12 its
// C limit is a fixed count sized for its own frames, and before that the
// limit can be raised from Python. A loop of the module's functions needs
// more stack per call than that, and threads may have small stacks, so the
// stack itself is checked as well.
bool stack_exhausted() noexcept { return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) < stack_floor(); }

}  // namespace

int enter_call_depth() noexcept {
    if (stack_exhausted()) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded in a function_def call");
        return -1;
    }
    return compat::enter_recursive_call(" in a function_def call");
}

namespace {

PyObject* run(FunctionObject* func, PyObject* const* slots) noexcept {
    if (func->module != state.module || !state.ready) {
        // Only reachable for a function outliving a failed or torn-down module.
        PyErr_Format(PyExc_RuntimeError, "%s() belongs to a module that is not initialised", func->row->name);
        return nullptr;
    }
    // The module's functions can call each other (a table whose action is
    // one of them) without any Python frame in between: count the depth here
    // so such a loop ends in RecursionError.
    Depth depth;
    return depth.failed() ? nullptr : func->row->body(func->globals, slots);
}

// ---- call entries ----------------------------------------------------------

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
    FunctionObject* func = as_function(self);
    const Py_ssize_t nargs = compat::vectorcall_nargs(nargsf);
    PyObject* slots[max_params];
    if (bind(*func->row, args, nargs, KeywordNames{kwnames, args + nargs}, slots) < 0) {
        return nullptr;
    }
    return run(func, slots);
}

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    FunctionObject* func = as_function(self);
    PyObject* slots[max_params];
    if (bind(*func->row, reinterpret_cast<PyTupleObject*>(args)->ob_item, PyTuple_GET_SIZE(args), KeywordDict{kwargs},
             slots) < 0) {
        return nullptr;
    }
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        return run(func, slots);  // the argument tuple holds them all
    }
    // The caller's dict may change while the body runs: own what was bound.
    const Py_ssize_t total = func->row->total;
    for (Py_ssize_t i = 0; i < total; ++i) {
        Py_INCREF(slots[i]);
    }
    PyObject* result = run(func, slots);
    for (Py_ssize_t i = 0; i < total; ++i) {
        Py_DECREF(slots[i]);
    }
    return result;
}

// ---- attributes ------------------------------------------------------------

PyObject* get_name(PyObject* self, void*) noexcept { return compat::new_ref(as_function(self)->name); }

PyObject* get_module_name(PyObject* self, void*) noexcept { return compat::new_ref(as_function(self)->modname); }

PyObject* get_doc(PyObject* self, void*) noexcept { return PyUnicode_FromString(as_function(self)->row->doc); }

PyObject* get_defaults(PyObject* self, void*) noexcept {
    const FunctionRow& row = *as_function(self)->row;
    return compat::new_ref(row.total > row.required ? state.defaults.get() : Py_None);
}

// inspect.Signature of the real parameters, so that inspect.signature() and
// help() tell the truth.
PyObject* get_signature(PyObject* self, void*) noexcept {
    const FunctionRow& row = *as_function(self)->row;
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) {
        return nullptr;
    }
    Ref parameter = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature = parameter ? Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature")) : Ref();
    Ref kind = signature ? Ref::steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD")) : Ref();
    Ref params = kind ? Ref::steal(PyList_New(row.total)) : Ref();
    if (!params) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < row.total; ++i) {
        Ref pname = Ref::steal(PyUnicode_FromString(row.params[i]));
        Ref kwargs = pname ? Ref::steal(PyDict_New()) : Ref();
        if (!kwargs) {
            return nullptr;
        }
        if (i >= row.required && PyDict_SetItemString(kwargs.get(), "default", state.s.empty.get()) < 0) {
            return nullptr;
        }
        Ref pargs = Ref::steal(PyTuple_Pack(2, pname.get(), kind.get()));
        Ref param = pargs ? Ref::steal(PyObject_Call(parameter.get(), pargs.get(), kwargs.get())) : Ref();
        if (!param) {
            return nullptr;
        }
        PyList_SET_ITEM(params.get(), i, param.release());
    }
    return call(signature.get(), params.get()).release();
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__module__", get_module_name, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickled and copied by reference: __module__ and __qualname__ find it again.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept { return get_name(self, nullptr); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// clang-format off
PyMemberDef function_members[] = {
    FDEF_OFFSET_MEMBER("__weaklistoffset__", offsetof(FunctionObject, weakrefs))
    FDEF_OFFSET_MEMBER("__vectorcalloffset__", offsetof(FunctionObject, vectorcall))
    {nullptr, 0, 0, 0, nullptr},
};
// clang-format on

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->name, self);
}

// Like a built-in function, it does not bind as a method when stored in a
// class; having __get__ also makes inspect and pydoc treat it as a routine.
PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) noexcept { return compat::new_ref(self); }

// ---- lifetime and GC -------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionObject* func = as_function(self);
    // Every instance owns a reference to its heap type (taken by
    // PyType_GenericAlloc), so the type is visited on every release.
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(func->module);
    Py_VISIT(func->globals);
    return 0;
}

int function_clear(PyObject* self) noexcept {
    FunctionObject* func = as_function(self);
    Py_CLEAR(func->globals);
    Py_CLEAR(func->module);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    FunctionObject* func = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (func->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    Py_CLEAR(func->name);
    Py_CLEAR(func->modname);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(function_call)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "talvern.platformdetails.function_def.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | compat::tpflags_have_vectorcall | compat::tpflags_immutable |
        compat::tpflags_no_instances,
    function_slots,
};

}  // namespace

PyObject* make_function_type() noexcept {
    PyObject* type = PyType_FromSpec(&function_spec);
    if (type == nullptr) {
        return nullptr;
    }
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(type);
    compat::set_member_offsets(tp, offsetof(FunctionObject, weakrefs), offsetof(FunctionObject, vectorcall));
    compat::disallow_instantiation(tp);
    return type;
}

PyObject* make_function(const FunctionRow& row, PyObject* module) noexcept {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(state.function_type.get());
    Ref name = Ref::steal(PyUnicode_InternFromString(row.name));
    Ref modname = name ? Ref::steal(PyModule_GetNameObject(module)) : Ref();
    PyObject* globals = PyModule_GetDict(module);
    if (!modname || globals == nullptr) {
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    FunctionObject* func = as_function(self);
    func->vectorcall = function_vectorcall;
    func->row = &row;
    func->name = name.release();
    func->modname = modname.release();
    func->module = compat::new_ref(module);
    func->globals = compat::new_ref(globals);
    func->weakrefs = nullptr;
    return self;
}

bool is_module_function(PyObject* obj) noexcept {
    return reinterpret_cast<PyObject*>(Py_TYPE(obj)) == state.function_type.get();
}

bool is_own_function(PyObject* obj, Body body) noexcept {
    return is_module_function(obj) && as_function(obj)->row->body == body && as_function(obj)->module == state.module;
}

PyObject* call_module_function(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    FunctionObject* func = as_function(self);
    PyObject* slots[max_params];
    if (bind(*func->row, args, nargs, KeywordNames{nullptr, nullptr}, slots) < 0) {
        return nullptr;
    }
    return run(func, slots);
}

}  // namespace fdef
