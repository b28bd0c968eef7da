// Module-wide values made once by the execute phase, and the call helpers
// every function body uses to reach into Python.
#pragma once

#include <cstddef>

#include "ref.hpp"

namespace fdef {

// Every constant text of the module: (member, text). Identifiers and texts
// alike are interned once at start-up.
#define FDEF_STRINGS(X)                                                              \
    X(re, "re")                                                                      \
    X(search, "search")                                                              \
    X(match, "match")                                                                \
    X(flag_I, "I")                                                                   \
    X(group, "group")                                                                \
    X(groups, "groups")                                                              \
    X(replace, "replace")                                                            \
    X(print, "print")                                                                \
    X(invokeaction, "invokeaction")                                                  \
    X(get_key_value, "get_key_value")                                                \
    X(version, "version")                                                            \
    X(spawn_id, "spawn_id")                                                          \
    X(input_value, "input_value")                                                    \
    X(action, "action")                                                              \
    X(dict_name, "dict_name")                                                        \
    X(empty, "")                                                                     \
    X(hyphen, "-")                                                                   \
    X(msg_false_result, "Return value from funcation ")                              \
    X(msg_bad_action, "The action should be expression or a function")               \
    X(msg_no_tolm, "Unable to get platform for TOLM")                                \
    X(kveos_hardware, "Hardware\\s*\n\\s*\\w+\\s+([A-Za-z0-9_-]+)\\s+(\\w+)")        \
    X(kveos_virtual_hw, "KVE-OSv")                                                   \
    X(kveos_virtual, "KVEOSv")                                                       \
    X(kveos_chassis, "Chassis")                                                      \
    X(kveos_ostrel, "^Ostrel(\\d+)$")                                                \
    X(kveos_demo_platform, "P4416")                                                  \
    X(kveos_demo_notice, "Corvath is a demo version of the Ostrel Operating System") \
    X(garu_fesk_l2_marker, "LINUX_L2")                                               \
    X(garu_fesk_l2, "FESK-L2")                                                       \
    X(garu_garu_marker, "Solaris Unix")                                              \
    X(garu_garu, "GARU")                                                             \
    X(garu_fesk_marker, "Linux Unix")                                                \
    X(garu_fesk, "FESK")                                                             \
    X(vkorin_banner, "Vantrel KORIN Software,\\s+(KORINv|vkorin_l2)\\s+Software")    \
    X(vkorin_l2_word, "vkorin_l2")                                                   \
    X(vkorin_l2, "KORINvL2")                                                         \
    X(vkorin_plain, "KORINv")                                                        \
    X(prav_model, "[Vv]antrel (PRAV-[0-9]+)")                                        \
    X(prav_marker, "KORIN DALM Admin")                                               \
    X(prav_family, "PRAV")                                                           \
    X(tolm_chassis, "(TOLM[-]?[0-9]+).*Chassis")                                     \
    X(tolm_processor, "[Vv]antrel (.+) \\(.*\\) processor")                          \
    X(tolm_third_line, "^.+ \\(.+\\) processor.*\n.*\n(.*)\n")

struct Strings {
#define FDEF_DECLARE(member, text) Ref member;
    FDEF_STRINGS(FDEF_DECLARE)
#undef FDEF_DECLARE
};

// obj.<name>(...) for the one type that usually comes: remembers the C
// method descriptor that attribute lookup finds on that type, when nothing
// can change what it finds (no instance dict, generic getattr, a type whose
// attributes cannot be set), and calls it with self first.
class MethodCache {
public:
    PyObject* call(PyObject* name, PyObject* const* args, Py_ssize_t nargs) noexcept;
    void reset() noexcept {
        descr_.reset();
        type_.reset();
    }
    void abandon() noexcept {
        descr_.abandon();
        type_.abandon();
    }

private:
    Ref type_;
    Ref descr_;
};

// The late-bound names as the last full lookup found them, kept only while
// a dict watcher guarantees that neither the module namespace nor the
// namespace of the module bound as `re` has changed since (CPython 3.12+;
// elsewhere `valid` stays false and every use looks up). A slot left NULL
// means that name takes the full path (builtins fallback, a `re` that is
// not a plain module, a missing attribute).
struct NameCache {
    int watcher = -1;
    bool valid = false;           // cleared by the watcher before any change
    PyObject* globals = nullptr;  // the namespace the slots were read from (borrowed)
    Ref re;
    Ref search, match, flag_I, invokeaction, get_key_value;

    // The slot of a name asked for through global() or re_attr(), or NULL.
    const Ref* slot(PyObject* globals_in, const PyObject* name) noexcept;
    void start() noexcept;  // at start-up: takes a dict watcher if there are any
    void reset() noexcept;
    void abandon() noexcept;

private:
    bool fill(PyObject* globals_in) noexcept;
};

struct State {
    // The live module object (borrowed: the module owns this state, not the
    // other way round), or NULL when none exists in this process.
    PyObject* module = nullptr;
    bool ready = false;
    Ref function_type;
    Ref builtins;  // the builtins namespace: the fallback of late-bound names
    Ref print;     // the built-in print, resolved once at start-up
    Ref int0, int1, int2, int3;
    Ref defaults;  // ("",), shared by every function with a default
    Strings s;
    MethodCache group, groups, replace;
    NameCache names;

    int make_constants() noexcept;
    void clear() noexcept;    // releases everything; the module is forgotten
    void abandon() noexcept;  // forgets everything of a finalised interpreter

private:
    template <class Visit>
    void each_ref(Visit&& visit) noexcept;
};

extern State state;

// Calls with positional arguments only, through the fastest protocol the
// interpreter offers; the module's own functions are entered directly.
Ref call_positional(PyObject* callable, PyObject* const* args, Py_ssize_t nargs) noexcept;

template <class... Args>
inline Ref call(PyObject* callable, Args... args) noexcept {
    // Slot 0 is spare so that the callee may borrow it (the vectorcall offset).
    PyObject* stack[] = {nullptr, args...};
    return call_positional(callable, stack + 1, sizeof...(Args));
}

// obj.name(*args), without making a bound method where the interpreter can.
template <class... Args>
inline Ref call_method(PyObject* obj, PyObject* name, Args... args) noexcept {
    PyObject* stack[] = {nullptr, obj, args...};
    return Ref::steal(
        compat::call_method(name, stack + 1, (1 + sizeof...(Args)) | compat::vectorcall_arguments_offset));
}

// The same through the cache of one method: match.group(), match.groups(),
// str.replace().
template <class... Args>
inline Ref call_method(MethodCache& cache, PyObject* obj, PyObject* name, Args... args) noexcept {
    PyObject* stack[] = {nullptr, obj, args...};
    return Ref::steal(cache.call(name, stack + 1, 1 + sizeof...(Args)));
}

// A late-bound module-level name, looked up afresh at this use (or taken
// from the cache, which holds only what that lookup would find).
inline Ref global(PyObject* globals, const Ref& name) noexcept {
    const Ref* cached = state.names.slot(globals, name.get());
    if (cached != nullptr) {
        return Ref::borrow(cached->get());
    }
    return lookup_name(globals, state.builtins.get(), name.get());
}

// getattr(obj, name) for a name that the module type itself does not
// define (search, match, I): on an exact module, generic attribute lookup
// finds nothing on the type and takes the namespace entry, so that entry is
// read directly. Anything else, and a missing entry, takes the full path.
inline Ref module_attr(PyObject* obj, PyObject* name) noexcept {
    if (PyModule_CheckExact(obj)) {
        PyObject* dict = PyModule_GetDict(obj);
        PyObject* found = nullptr;
        if (dict != nullptr && compat::dict_get_item_ref(dict, name, &found) != 0) {
            return Ref::steal(found);
        }
    }
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// `re.<attr>` with `re` looked up afresh, as each mention of re does in
// Python code.
inline Ref re_attr(PyObject* globals, const Ref& attr) noexcept {
    const Ref* cached = state.names.slot(globals, attr.get());
    if (cached != nullptr) {
        return Ref::borrow(cached->get());
    }
    Ref re = lookup_name(globals, state.builtins.get(), state.s.re.get());
    return re ? module_attr(re.get(), attr.get()) : Ref();
}

// `a == b` as an if statement tests it: the comparison, then the truth of
// its result (no identity shortcut). 1, 0, or -1 with an exception set.
inline int equals(PyObject* a, PyObject* b) noexcept {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        // Nothing user-defined can run for two exact str.
        return PyUnicode_Compare(a, b) == 0;
    }
    Ref result = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

// Prints one line through the print held since start-up.
inline bool print_line(PyObject* text) noexcept { return static_cast<bool>(call(state.print.get(), text)); }

// The truth of a value by the interpreter's rules: 1, 0, or -1 with an
// exception set.
inline int truth(const Ref& value) noexcept { return PyObject_IsTrue(value.get()); }

}  // namespace fdef
