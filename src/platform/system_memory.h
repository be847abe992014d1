// How much memory the machine has, for sizing how much work runs at once.
#pragma once

#include <cstdint>

namespace speckmend {

// The physical memory of the machine, or the process's address-space limit
// (ulimit -v) when that is lower; 0 when neither can be learnt.
std::uint64_t usableMemory();

}  // namespace speckmend
