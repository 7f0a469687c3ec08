// What the reliability programs share: the figures of the process itself, the temporary files a
// writer leaves, a line to the virtual headset and the wait for its registration.
//
// These programs measure; they are not unit tests. Each prints what it found and exits non-zero
// when a target is missed, so CTest runs their bounded forms and scripts/reliability/ their full
// ones.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/VirtualDeviceRegistry.h"

namespace reliability {

using Clock = std::chrono::steady_clock;

// This process's resident set (VmRSS) and its highest so far (VmHWM), in KiB; -1 when unknown.
long ResidentKiB();
long PeakResidentKiB();
// The descriptors this process has open, and its threads.
int OpenDescriptors();
int Threads();

// The machine's load average over the last minute, as /proc/loadavg has it ("3.52").
std::string LoadAverage();

// The running program's own path, to start it again as a child.
std::string OwnPath();

// The temporary files of writes of the file `name` in `folder` (toolkit/AtomicFile.h names them
// `.<name>.<6 letters or digits>.tmp`), sorted.
std::vector<std::string> TempFilesOf(const std::string& folder, const std::string& name);

std::string ReadWholeFile(const std::string& path);

// The port of the virtual headset that process `pid` registers, once it has; nothing when it has
// not registered by `deadline` or has exited.
std::optional<std::string> WaitForHeadsetPort(platform::VirtualDeviceWatcher& watcher, pid_t pid,
                                              Clock::time_point deadline);

// The headset's port opened the way a terminal program opens it: raw, 115200 baud.
class HeadsetLine {
 public:
  HeadsetLine() = default;
  ~HeadsetLine() { Close(); }
  HeadsetLine(const HeadsetLine&) = delete;
  HeadsetLine& operator=(const HeadsetLine&) = delete;

  // A port still held exclusively by a tool that has just gone is tried again until `deadline`:
  // the headset gives it free once it sees the tool's close.
  bool Open(const std::string& path, Clock::time_point deadline);
  void Close();

  bool Send(std::string_view bytes, Clock::time_point deadline);
  // The next line, without its line end; nothing at the deadline or when the port fails.
  std::optional<std::string> ReadLine(Clock::time_point deadline);
  // Sends `command` and reads lines until the status line of `code`; returns its payload, the
  // text after "<code>,". Other lines (OK, ERROR, answers to commands a killed tool left behind)
  // are passed over.
  std::optional<std::string> Exchange(const std::string& command, int code,
                                      Clock::time_point deadline);

 private:
  int fd_ = -1;
  std::string pending_;
};

}  // namespace reliability
