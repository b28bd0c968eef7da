// The module-wide values and the positional call helper.
#include "runtime.hpp"

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
    each_ref([](Ref& ref) { ref.reset(); });
}

void State::abandon() noexcept {
    module = nullptr;
    ready = false;
    each_ref([](Ref& ref) { ref.abandon(); });
}

Ref call_positional(PyObject* callable, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (is_module_function(callable)) {
        return Ref::steal(call_module_function(callable, args, nargs));
    }
    return Ref::steal(compat::vectorcall(
        callable, args, static_cast<std::size_t>(nargs) | compat::vectorcall_arguments_offset, nullptr));
}

}  // namespace fdef
