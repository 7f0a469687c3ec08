// Readiness of descriptors for the dispatch queue's watches, on platforms that have them.
//
// Where there are none (Windows: a device handle is no descriptor poll could watch), Available()
// is false and the queue offers no watcher, so each device is waited for on a thread of its own.
#pragma once

#include <span>
#include <vector>

namespace toolkit::descriptors {

bool Available();

// A pipe whose read end wakes a poll; false when none could be made.
bool MakeWakePipe(int (&fds)[2]);
void Close(int fd);
// Writes one byte; reads every byte there is. Neither blocks.
void Wake(int writeEnd);
void Drain(int readEnd);

// Waits at most `timeoutMs` (0: not at all) until one of `fds` is readable, hung up or in error;
// `ready[i]` tells which are. A descriptor closed meanwhile is never ready.
void PollReadable(std::span<const int> fds, std::vector<bool>& ready, int timeoutMs);

}  // namespace toolkit::descriptors
