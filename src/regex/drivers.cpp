// The machine-stack budget of the recursive driver.
#include "regex/drivers.h"

#include <pthread.h>

#include <algorithm>

namespace regex::detail {

namespace {

// Lowest address of the calling thread's stack, asked once per thread
// (for the main thread the C library reads the process maps to answer).
std::uintptr_t stack_bottom() {
    thread_local std::uintptr_t bottom = [] {
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
