// Priorities on Linux are nice values, and they belong to threads: setpriority(PRIO_PROCESS, 0)
// changes the calling thread only, and threads inherit the value of the thread that creates them.
//
// Without CAP_SYS_NICE a thread may only lower its priority (raise its nice value), and raise it
// again no further than RLIMIT_NICE allows. A class lowered at open that could not be raised again
// at close would leave the UI thread at the lowest priority for the rest of the run, so a change
// that could not be undone is not made at all.
#include "comport/Scheduling.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>

#include "comport/backend/posix/Priority.h"

namespace comport {
namespace {

constexpr int kClassNice[] = {0, 19, 0, -10, -20};
constexpr int kThreadNice[] = {19, 10, 5, 0, -5, -10, -20};
constexpr int kCapSysNice = 23;

bool HasCapSysNice() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("CapEff:", 0) != 0) continue;
    try {
      return ((std::stoull(line.substr(7), nullptr, 16) >> kCapSysNice) & 1) != 0;
    } catch (const std::exception&) {
      return false;
    }
  }
  return false;
}

}  // namespace

namespace posix {

bool NiceReachable(int to, int from, std::uint64_t niceLimit, bool privileged) {
  if (privileged || to >= from || niceLimit == RLIM_INFINITY) return true;
  // RLIMIT_NICE n lets the nice value go down to 20 - n.
  return std::int64_t{20} - to <= static_cast<std::int64_t>(niceLimit);
}

}  // namespace posix

TThreadHandle CurrentThreadHandle() {
  return static_cast<TThreadHandle>(::gettid());
}

void SetThreadPriority(TThreadHandle thread, TThreadPriority priority) {
  if (thread == 0) return;
  [[maybe_unused]] const int result =
      ::setpriority(PRIO_PROCESS, static_cast<id_t>(thread), kThreadNice[priority]);
}

int ChangePriorityClass(TPriorityClass priorityClass) {
  if (priorityClass == pcDefault) return -1;
  errno = 0;
  const int current = ::getpriority(PRIO_PROCESS, 0);
  if (errno != 0) return -1;
  const int target = kClassNice[priorityClass];
  rlimit limit{};
  const std::uint64_t niceLimit = ::getrlimit(RLIMIT_NICE, &limit) == 0 ? limit.rlim_cur : 0;
  // The way back must be open before the way there is taken.
  if (!posix::NiceReachable(current, target, niceLimit, HasCapSysNice())) return -1;
  if (::setpriority(PRIO_PROCESS, 0, target) != 0) return -1;
  return current + 20;
}

void RestorePriorityClass(int saved) {
  if (saved == -1) return;
  [[maybe_unused]] const int result = ::setpriority(PRIO_PROCESS, 0, saved - 20);
}

}  // namespace comport
