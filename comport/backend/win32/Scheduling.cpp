// Priorities on Windows: the process's priority class and the thread priority levels, which the
// component's enumerations mirror. A thread handle here is the thread's id; a thread is opened by
// id for each change, so a thread that has ended is simply not found.
#include "comport/Scheduling.h"

#include <windows.h>

namespace comport {
namespace {

constexpr DWORD kClasses[] = {0, IDLE_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS, HIGH_PRIORITY_CLASS,
                              REALTIME_PRIORITY_CLASS};
static_assert(pcIdle == 1 && pcRealTime == 4);

constexpr int kLevels[] = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,
                           THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL,
                           THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                           THREAD_PRIORITY_TIME_CRITICAL};
static_assert(tpIdle == 0 && tpTimeCritical == 6);

}  // namespace

TThreadHandle CurrentThreadHandle() {
  return static_cast<TThreadHandle>(::GetCurrentThreadId());
}

void SetThreadPriority(TThreadHandle thread, TThreadPriority priority) {
  if (thread == 0) return;
  const HANDLE handle = ::OpenThread(THREAD_SET_INFORMATION, FALSE, static_cast<DWORD>(thread));
  if (handle == nullptr) return;
  ::SetThreadPriority(handle, kLevels[priority]);
  ::CloseHandle(handle);
}

int ChangePriorityClass(TPriorityClass priorityClass) {
  if (priorityClass == pcDefault) return -1;
  const DWORD current = ::GetPriorityClass(::GetCurrentProcess());
  if (current == 0) return -1;
  // REALTIME without the privilege to have it gives HIGH: the class found at open comes back
  // at close all the same.
  if (!::SetPriorityClass(::GetCurrentProcess(), kClasses[priorityClass])) return -1;
  return static_cast<int>(current);
}

void RestorePriorityClass(int saved) {
  if (saved == -1) return;
  ::SetPriorityClass(::GetCurrentProcess(), static_cast<DWORD>(saved));
}

}  // namespace comport
