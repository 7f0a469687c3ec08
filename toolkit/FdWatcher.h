// Readiness of a descriptor, delivered on the UI thread by the UI thread's own event loop.
//
// A device that the UI thread watches itself wakes one thread per event (the UI thread) instead of
// two in series (a waiting thread, then the UI thread it hands over to).
#pragma once

#include <functional>

namespace toolkit {

class FdWatcher {
 public:
  virtual ~FdWatcher() = default;

  // On the UI thread. From the next round of the event loop on, `ready` runs on the UI thread
  // whenever `fd` is readable, again at every round for as long as it stays readable, until
  // Unwatch. One watch per descriptor; what `ready` throws goes to the standard exception report.
  virtual void Watch(int fd, std::function<void()> ready) = 0;

  // On the UI thread, also inside `ready`: `ready` is not called again for this watch.
  virtual void Unwatch(int fd) = 0;
};

}  // namespace toolkit
