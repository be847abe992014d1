// The machine-stack budget of the recursive driver.
#include "regex/drivers.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

namespace regex::detail {

namespace {

// The C library's record of where the main thread's stack begins.
extern "C" void* __libc_stack_end;

// Lowest address the main thread's stack may grow to: its start less its
// size limit. 0 when there is no limit to go by.
std::uintptr_t main_stack_bottom() {
    rlimit limit{};
    if (getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
    const auto top = reinterpret_cast<std::uintptr_t>(__libc_stack_end);
    const auto size = static_cast<std::uintptr_t>(limit.rlim_cur);
    return size < top ? top - size : 0;
}

// Lowest address of the calling thread's stack, asked once per thread. For
// the main thread the C library would read the whole process map to answer
// (a fifth of a millisecond, the cost of a small photo's configuration);
// its start and the stack's size limit say the same.
std::uintptr_t stack_bottom() {
    thread_local std::uintptr_t bottom = [] {
        if (getpid() == static_cast<pid_t>(syscall(SYS_gettid))) {
            if (const std::uintptr_t b = main_stack_bottom(); b != 0) return b;
        }
        std::uintptr_t b = 0;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* low = nullptr;
            std::size_t size = 0;
            if (pthread_attr_getstack(&attr, &low, &size) == 0) b = reinterpret_cast<std::uintptr_t>(low);
            pthread_attr_destroy(&attr);
        }
        return b;
    }();
    return bottom;
}

}  // namespace

std::size_t recursion_stack_budget(std::uintptr_t here) {
    constexpr std::size_t ceiling = 1u << 20;
    std::size_t budget = ceiling;
    const std::uintptr_t bottom = stack_bottom();
    if (bottom != 0 && here > bottom) budget = std::min(ceiling, (here - bottom) / 4);
    return std::max<std::size_t>(budget, 16 * 1024);
}

}  // namespace regex::detail
