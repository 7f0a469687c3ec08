// The rule behind the priority-class changes on Linux, apart so that it can be tested.
#pragma once

#include <cstdint>

namespace comport::posix {

// Whether a thread at nice value `from` may move to `to`: always upwards (lower priority);
// downwards only with CAP_SYS_NICE or within RLIMIT_NICE `niceLimit` (RLIM_INFINITY: unlimited).
bool NiceReachable(int to, int from, std::uint64_t niceLimit, bool privileged);

}  // namespace comport::posix
