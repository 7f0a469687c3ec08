// Scheduling priorities of the port's worker and of the process, behind the platform.
//
// Each platform backend defines these; failures are not errors (the component ignores the
// results of priority calls): a thread or process simply keeps the priority it has.
#pragma once

#include <cstdint>

#include "comport/ComTypes.h"

namespace comport {

// A thread that another thread can give a priority to; 0 stands for none.
using TThreadHandle = std::int64_t;

// The calling thread.
TThreadHandle CurrentThreadHandle();

// Gives a live thread of this process a priority, as far as the platform lets this process go.
void SetThreadPriority(TThreadHandle thread, TThreadPriority priority);

// Sets the process's priority class (not pcDefault). Returns what RestorePriorityClass needs to
// give the old class back, or -1 when nothing was changed, which includes a change this process
// would not be allowed to undo.
int ChangePriorityClass(TPriorityClass priorityClass);
void RestorePriorityClass(int saved);

}  // namespace comport
