// Linux with glibc asks the thread's attributes; other systems and C
// libraries answer "unknown" so that a build there is not blocked.
#include "stack_bounds.hpp"

#if defined(__linux__) && defined(__GLIBC__)
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__x86_64__)
// Bind to the first versions of these two functions rather than the ones
// glibc 2.32 and 2.34 re-exported when libpthread moved into libc, so that
// one binary loads on every glibc a manylinux2014 wheel promises (2.17 on).
// On an older glibc they resolve in libpthread, which CPython has loaded.
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
#elif defined(__aarch64__)
// The same on arm64, where glibc's first version is 2.17.
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.17");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.17");
#endif

namespace fdef {

namespace {

struct ThreadStack {
    StackBounds bounds;
    bool main;    // the process's first thread, whose stack follows RLIMIT_STACK
    bool known;   // read yet
};

// The thread's attributes: read once per thread, since for the main thread
// glibc reads /proc to answer.
StackBounds read_attributes() noexcept {
    StackBounds bounds{0, 0};
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* base = nullptr;
        std::size_t size = 0;
        if (pthread_attr_getstack(&attr, &base, &size) == 0) {
            bounds = {reinterpret_cast<std::uintptr_t>(base), size};
        }
        pthread_attr_destroy(&attr);
    }
    return bounds;
}

}  // namespace

StackBounds thread_stack_bounds() noexcept {
    thread_local ThreadStack stack __attribute__((tls_model("initial-exec"))) = {{0, 0}, false, false};
    if (!stack.known) {
        stack = {read_attributes(), syscall(SYS_gettid) == getpid(), true};
    }
    StackBounds now = stack.bounds;
    // The main thread's stack grows only as far as the current limit lets
    // it, and the limit may have been lowered since the first reading.
    struct rlimit limit;
    if (stack.main && now.low != 0 && getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur < now.size) {
        now.low += now.size - limit.rlim_cur;
        now.size = limit.rlim_cur;
    }
    return now;
}

}  // namespace fdef

#else

namespace fdef {

StackBounds thread_stack_bounds() noexcept { return {0, 0}; }

}  // namespace fdef

#endif
