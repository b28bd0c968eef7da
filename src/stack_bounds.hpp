// Where the calling thread's stack ends: the one platform-specific question
// the module asks, answered in stack_bounds.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fdef {

struct StackBounds {
    std::uintptr_t low;  // the lowest address; 0 when unknown
    std::size_t size;
};

// The calling thread's stack as far as it can grow now, or {0, 0} where
// this platform does not say (then only the interpreter's recursion limit
// guards depth). Its top never moves; its low end can, when RLIMIT_STACK
// is changed, so callers ask again when it matters. Costs a system call.
StackBounds thread_stack_bounds() noexcept;

}  // namespace fdef
