// The module-wide values and the positional call helper.
#include "runtime.hpp"

#include <utility>

#include "function.hpp"

namespace fdef {

State state;

int State::make_constants() noexcept {
#define FDEF_MAKE(member, text)                              \
    s.member = Ref::steal(PyUnicode_InternFromString(text)); \
    if (!s.member) {                                         \
        return -1;                                           \
    }
    FDEF_STRINGS(FDEF_MAKE)
#undef FDEF_MAKE
    int0 = Ref::steal(PyLong_FromLong(0));
    int1 = Ref::steal(PyLong_FromLong(1));
    int2 = Ref::steal(PyLong_FromLong(2));
    int3 = Ref::steal(PyLong_FromLong(3));
    if (!int0 || !int1 || !int2 || !int3) {
        return -1;
    }
    return 0;
}

template <class Visit>
void State::each_ref(Visit&& visit) noexcept {
    for (Ref* ref : {&function_type, &builtins, &print, &int0, &int1, &int2, &int3, &defaults}) {
        visit(*ref);
    }
#define FDEF_VISIT(member, text) visit(s.member);
    FDEF_STRINGS(FDEF_VISIT)
#undef FDEF_VISIT
}

void State::clear() noexcept {
    module = nullptr;
    ready = false;
    for (MethodCache* cache : {&group, &groups, &replace}) {
        cache->reset();
    }
    names.reset();
    each_ref([](Ref& ref) { ref.reset(); });
}

void State::abandon() noexcept {
    module = nullptr;
    ready = false;
    for (MethodCache* cache : {&group, &groups, &replace}) {
        cache->abandon();
    }
    names.abandon();
    each_ref([](Ref& ref) { ref.abandon(); });
}

namespace {

// Whether attribute lookup of `name` on every instance of `type` finds the
// same C method descriptor, for good: it is not shadowed by an instance
// dict or a custom getattr, and the type's attributes cannot be set (a
// static type, or an immutable heap type). Returns it borrowed, or NULL.
PyObject* fixed_method(PyTypeObject* type, PyObject* name) noexcept {
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_dictoffset != 0 ||
        (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) && !PyType_HasFeature(type, compat::tpflags_immutable))) {
        return nullptr;
    }
    PyObject* descr = _PyType_Lookup(type, name);
    return descr != nullptr && Py_TYPE(descr) == &PyMethodDescr_Type ? descr : nullptr;
}

}  // namespace

namespace {

void names_changed() noexcept { state.names.valid = false; }

// The entry of `name` in `dict` as a new reference, or NULL when it is
// absent; -1 when the lookup raised.
int entry(PyObject* dict, PyObject* name, Ref& out) noexcept {
    PyObject* found = nullptr;
    const int rc = compat::dict_get_item_ref(dict, name, &found);
    out = Ref::steal(found);
    return rc;
}

}  // namespace

const Ref* NameCache::slot(PyObject* globals_in, const PyObject* name) noexcept {
    if (watcher < 0) {
        return nullptr;
    }
    if (!valid || globals_in != globals) {
        if (!fill(globals_in)) {
            return nullptr;
        }
    }
    const Ref* found = nullptr;
    const Strings& s = state.s;
    if (name == s.invokeaction.get()) {
        found = &invokeaction;
    } else if (name == s.get_key_value.get()) {
        found = &get_key_value;
    } else if (!re || !PyModule_CheckExact(re.get())) {
        // `re` lost its plain module class (which changes no dict).
        return nullptr;
    } else if (name == s.search.get()) {
        found = &search;
    } else if (name == s.match.get()) {
        found = &match;
    } else if (name == s.flag_I.get()) {
        found = &flag_I;
    }
    return found != nullptr && *found ? found : nullptr;
}

bool NameCache::fill(PyObject* globals_in) noexcept {
    valid = false;
    if (compat::watch_dict(watcher, globals_in) < 0) {
        PyErr_Clear();
        return false;
    }
    // Everything is read into new references first and swapped in at the
    // end, so that a call made while old values are dropped (a __del__)
    // never sees a mix of old and new.
    Ref found[6];  // re, invokeaction, get_key_value, search, match, I
    bool ok = entry(globals_in, state.s.re.get(), found[0]) >= 0 &&
              entry(globals_in, state.s.invokeaction.get(), found[1]) >= 0 &&
              entry(globals_in, state.s.get_key_value.get(), found[2]) >= 0;
    if (ok && found[0] && PyModule_CheckExact(found[0].get())) {
        PyObject* dict = PyModule_GetDict(found[0].get());
        ok = dict != nullptr && compat::watch_dict(watcher, dict) >= 0 &&
             entry(dict, state.s.search.get(), found[3]) >= 0 && entry(dict, state.s.match.get(), found[4]) >= 0 &&
             entry(dict, state.s.flag_I.get(), found[5]) >= 0;
    } else {
        found[0].reset();
    }
    if (!ok) {
        PyErr_Clear();
        return false;
    }
    Ref* slots[] = {&re, &invokeaction, &get_key_value, &search, &match, &flag_I};
    for (int i = 0; i < 6; ++i) {
        std::swap(*slots[i], found[i]);
    }
    globals = globals_in;
    // Cleared again by the watcher if the old values' release changes a
    // watched dict; that release happens as `found` goes out of scope.
    valid = true;
    return true;
}

void NameCache::reset() noexcept {
    if (watcher >= 0) {
        compat::clear_dict_watcher(watcher);
    }
    watcher = -1;
    valid = false;
    globals = nullptr;
    for (Ref* ref : {&re, &search, &match, &flag_I, &invokeaction, &get_key_value}) {
        ref->reset();
    }
}

void NameCache::abandon() noexcept {
    watcher = -1;
    valid = false;
    globals = nullptr;
    for (Ref* ref : {&re, &search, &match, &flag_I, &invokeaction, &get_key_value}) {
        ref->abandon();
    }
}

void NameCache::start() noexcept { watcher = compat::add_dict_watcher(names_changed); }

PyObject* MethodCache::call(PyObject* name, PyObject* const* args, Py_ssize_t nargs) noexcept {
    PyTypeObject* type = Py_TYPE(args[0]);
    if (reinterpret_cast<PyObject*>(type) != type_.get()) {
        PyObject* descr = fixed_method(type, name);
        if (descr == nullptr) {
            return compat::call_method(name, args, static_cast<std::size_t>(nargs));
        }
        descr_ = Ref::borrow(descr);
        type_ = Ref::borrow(reinterpret_cast<PyObject*>(type));
    }
    // Held for the call: a drop of the cache during it must not free it.
    Ref descr = Ref::borrow(descr_.get());
    return compat::call_method_descriptor(descr.get(), args, nargs);
}

Ref call_positional(PyObject* callable, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (is_module_function(callable)) {
        return Ref::steal(call_module_function(callable, args, nargs));
    }
    return Ref::steal(compat::vectorcall(
        callable, args, static_cast<std::size_t>(nargs) | compat::vectorcall_arguments_offset, nullptr));
}

}  // namespace fdef
