// How the function bodies reach into Python: late-bound names, calls,
// comparisons and printing, each as the equivalent Python code does it.
#pragma once

#include "state.hpp"

namespace fdef {

// The one call upward, through a function pointer: the call entry of the
// module's own function type, defined in function.cpp (which includes this
// file) and pointed at there. Constant from load time, so no part of the
// lifecycle sets or clears it.
extern const vectorcallfunc function_entry;

// callable(*args), positional only. Slot 0 of the stack is spare so that
// the callee may borrow it (the vectorcall offset).
template <class... Args>
inline Ref call(PyObject* callable, Args... args) noexcept {
    PyObject* stack[] = {nullptr, args...};
    const std::size_t nargsf = sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET;
    // The module's own functions are entered directly: 3.7's generic call
    // would pack a tuple for them (3.4% of a TOLM call's instructions).
    if (reinterpret_cast<PyObject*>(Py_TYPE(callable)) == state.function_type.get()) {
        return Ref::steal(function_entry(callable, stack + 1, nargsf, nullptr));
    }
    return Ref::steal(PyObject_Vectorcall(callable, stack + 1, nargsf, nullptr));
}

// obj.name(*args).
template <class... Args>
inline Ref call_method(PyObject* obj, const Constant& name, Args... args) noexcept {
    PyObject* stack[] = {nullptr, obj, args...};
    const std::size_t nargsf = (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET;
    return Ref::steal(PyObject_VectorcallMethod(name.get(), stack + 1, nargsf, nullptr));
}

// A late-bound module-level name, looked up afresh at this use.
inline Ref global(PyObject* globals, const Constant& name) noexcept {
    return lookup_name(globals, state.builtins.get(), name.get());
}

// `re.<attr>`, with `re` looked up afresh as each mention of re is in
// Python code.
inline Ref re_attr(PyObject* globals, const Constant& attr) noexcept {
    Ref re = global(globals, re_name);
    if (re && PyModule_CheckExact(re.get())) {
        // The module type defines no search, match or I, so getattr finds
        // the namespace entry: read it directly when there is one (2.3% of
        // a vKORIN call's instructions on 3.13).
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(PyModule_GetDict(re.get()), attr.get(), &found) != 0) {
            return Ref::steal(found);
        }
    }
    return re ? Ref::steal(PyObject_GetAttr(re.get(), attr.get())) : Ref();
}

// The truth of a value by the interpreter's rules, or of a failed step:
// 1, 0, or -1 with an exception set.
inline int truth(const Ref& value) noexcept { return value ? PyObject_IsTrue(value.get()) : -1; }

// `a == b` as an if statement tests it: the comparison, then its truth; -1
// also when `a` is a failed step.
inline int equals(const Ref& a, const Constant& b) noexcept {
    return a ? truth(Ref::steal(PyObject_RichCompare(a.get(), b.get(), Py_EQ))) : -1;
}

// print(text), through the print held since start-up.
inline bool print_line(PyObject* text) noexcept { return static_cast<bool>(call(state.print.get(), text)); }

}  // namespace fdef
