// The module-wide values: made by the execute phase, only read by calls,
// and released (or, after finalisation, forgotten) together. When each of
// these happens is the module's lifecycle, in module.cpp.
#pragma once

#include "ref.hpp"

namespace fdef {

// A constant str (interned) or int, made at start-up. Each is defined
// beside the code that uses it; defining one registers it, so that the
// module's lifecycle makes and releases every constant without a central
// list.
class Constant {
public:
    explicit Constant(const char* text) noexcept : Constant(text, 0) {}
    explicit Constant(long number) noexcept : Constant(nullptr, number) {}
    Constant(const Constant&) = delete;
    Constant& operator=(const Constant&) = delete;

    PyObject* get() const noexcept { return value_.get(); }

private:
    friend struct State;
    Constant(const char* text, long number) noexcept;
    const char* text_;
    long number_;
    mutable Ref value_;
    const Constant* next_;
};

// Constants more than one file uses.
extern const Constant empty;  // "": spawn_id's default, the empty result
extern const Constant re_name, search_name, group_name, groups_name;
extern const Constant one;

struct State {
    // The initialised module (borrowed: the module owns this state, not the
    // other way round), or NULL while none is: before the first execute
    // phase succeeds, and after the module is freed or forgotten.
    PyObject* module = nullptr;
    // The interpreter's block for that module's (empty) per-module state;
    // see the lifecycle in module.cpp.
    void* module_state_block = nullptr;
    Ref function_type;
    Ref builtins;  // the builtins module's namespace: the late-bound fallback
    Ref print;     // the built-in print, resolved once at start-up
    Ref defaults;  // ("",), shared by every function with a default

    // Makes every Constant and the values above that need no module.
    int start() noexcept;
    // Drops everything, releasing each reference, or with `release` false
    // forgetting it untouched (its interpreter has been finalised).
    void forget(bool release) noexcept;
};

extern State state;

}  // namespace fdef
