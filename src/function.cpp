// The function type: the two call entries, the depth guard, attributes,
// repr, pickling by reference, the signature for inspect, and cyclic GC.
#include "function.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "calls.hpp"
#include "stack_bounds.hpp"

namespace fdef {
namespace {

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;  // unused before 3.8
    const FunctionRow* row;
    PyObject* name;     // interned __name__ / __qualname__
    PyObject* modname;  // __module__
    PyObject* module;   // keeps the module, and so its constants, alive
    PyObject* globals;  // the module namespace, for late-bound names
    PyObject* weakrefs;
};

FunctionObject* as_function(PyObject* obj) noexcept { return reinterpret_cast<FunctionObject*>(obj); }

// ---- stack room ------------------------------------------------------------

// Kept free below the deepest call (at most): room to raise RecursionError,
// and for whatever runs between two of the module's calls.
constexpr std::uintptr_t stack_margin = std::uintptr_t{256} * 1024;

// Calls using more of the stack than this ask for its bounds again, since
// a lowered RLIMIT_STACK shrinks the main thread's stack after the fact;
// shallower calls, nearly all of them, pay nothing.
constexpr std::uintptr_t recheck_depth = std::uintptr_t{128} * 1024;

// The interpreter's recursion limit counts calls, not bytes: from 3.12 its
// C limit is a fixed count sized for its own frames, and before that the
// limit can be raised from Python. A loop of the module's functions needs
// more stack per call than that, and threads may have small stacks, so the
// stack itself is checked as well.
bool stack_exhausted() noexcept {
    // Frames above this address need no check. initial-exec: read without
    // a call into the dynamic loader.
    thread_local std::uintptr_t recheck_below __attribute__((tls_model("initial-exec"))) = UINTPTR_MAX;
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (here >= recheck_below) {
        return false;
    }
    const StackBounds stack = thread_stack_bounds();
    if (stack.low == 0) {
        recheck_below = 0;  // unknown here: the interpreter's limit alone
        return false;
    }
    // A quarter of a small stack.
    const std::uintptr_t floor = stack.low + std::min<std::uintptr_t>(stack_margin, stack.size / 4);
    const std::uintptr_t top = stack.low + stack.size;
    recheck_below = std::max(floor, top - std::min<std::uintptr_t>(recheck_depth, stack.size));
    return here < floor;
}

// Counts one level of call depth: true, or false with RecursionError set
// (the interpreter's limit, or too little C stack left).
bool enter_call_depth() noexcept {
    if (stack_exhausted()) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded in a function_def call");
        return false;
    }
    return Py_EnterRecursiveCall(" in a function_def call") == 0;
}

PyObject* run(FunctionObject* func, PyObject* const* slots) noexcept {
    if (func->module != state.module) {
        // Only reachable for a function outliving a failed or freed module,
        // or called while its module is still being executed.
        PyErr_Format(PyExc_RuntimeError, "%s() belongs to a module that is not initialised", func->row->sig.name);
        return nullptr;
    }
    // The module's functions can call each other (a table whose action is
    // one of them) without any Python frame in between: count the depth here
    // so such a loop ends in RecursionError.
    if (!enter_call_depth()) {
        return nullptr;
    }
    PyObject* result = func->row->body(func->globals, slots);
    Py_LeaveRecursiveCall();
    return result;
}

// ---- call entries ----------------------------------------------------------

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
    FunctionObject* func = as_function(self);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* slots[max_params];
    if (bind_vector(func->row->sig, args, nargs, kwnames, slots) < 0) {
        return nullptr;
    }
    return run(func, slots);
}

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    FunctionObject* func = as_function(self);
    PyObject* slots[max_params];
    if (bind_dict(func->row->sig, reinterpret_cast<PyTupleObject*>(args)->ob_item, PyTuple_GET_SIZE(args), kwargs,
                  slots) < 0) {
        return nullptr;
    }
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        return run(func, slots);  // the argument tuple holds them all
    }
    // The body may run code that empties the caller's keyword dict: own
    // what was bound from it.
    const Py_ssize_t total = func->row->sig.total;
    for (Py_ssize_t i = 0; i < total; ++i) {
        Py_INCREF(slots[i]);
    }
    PyObject* result = run(func, slots);
    for (Py_ssize_t i = 0; i < total; ++i) {
        Py_DECREF(slots[i]);
    }
    return result;
}

}  // namespace

const vectorcallfunc function_entry = function_vectorcall;

namespace {

// ---- attributes ------------------------------------------------------------

PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->name); }

PyObject* get_module_name(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->modname); }

PyObject* get_doc(PyObject* self, void*) noexcept { return PyUnicode_FromString(as_function(self)->row->doc); }

PyObject* get_defaults(PyObject* self, void*) noexcept {
    const FunctionRow& row = *as_function(self)->row;
    return Py_NewRef(row.sig.total > row.sig.required ? state.defaults.get() : Py_None);
}

// inspect.Signature of the real parameters, so that inspect.signature() and
// help() tell the truth.
PyObject* get_signature(PyObject* self, void*) noexcept {
    const FunctionRow& row = *as_function(self)->row;
    Ref parameter = Ref::steal(PyImport_ImportModuleAttrString("inspect", "Parameter"));
    Ref signature = parameter ? Ref::steal(PyImport_ImportModuleAttrString("inspect", "Signature")) : Ref();
    Ref kind = signature ? Ref::steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD")) : Ref();
    Ref params = kind ? Ref::steal(PyList_New(row.sig.total)) : Ref();
    if (!params) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < row.sig.total; ++i) {
        Ref pname = Ref::steal(PyUnicode_FromString(row.sig.params[i]));
        Ref kwargs = pname ? Ref::steal(PyDict_New()) : Ref();
        if (!kwargs) {
            return nullptr;
        }
        if (i >= row.sig.required && PyDict_SetItemString(kwargs.get(), "default", empty.get()) < 0) {
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
PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) noexcept { return Py_NewRef(self); }

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
    // NOLINTNEXTLINE(misc-redundant-expression): the flags a release lacks are 0 there
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
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
    Ref name = Ref::steal(PyUnicode_InternFromString(row.sig.name));
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
    func->module = Py_NewRef(module);
    func->globals = Py_NewRef(globals);
    func->weakrefs = nullptr;
    return self;
}

}  // namespace fdef
