// Memory size queries on POSIX.
#include "platform/system_memory.h"

#include <sys/resource.h>
#include <unistd.h>

namespace speckmend {

std::uint64_t usableMemory() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    std::uint64_t memory = pages > 0 && pageSize > 0 ? static_cast<std::uint64_t>(pages) * pageSize : 0;
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        (memory == 0 || limit.rlim_cur < memory))
        memory = limit.rlim_cur;
    return memory;
}

}  // namespace speckmend
