// Device arrivals and removals from file descriptors (a udev monitor, an inotify watch), delivered
// on the UI thread one event at a time: read by the UI thread's own loop where its dispatcher can
// watch descriptors, otherwise on a thread of their own and handed over. Once the registration is
// gone no event reaches the handler, even one already on its way.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/DeviceNotifier.h"
#include "platform/VirtualDeviceRegistry.h"
#include "toolkit/Dispatcher.h"

namespace platform {

// One descriptor that becomes readable when something happened, and the events that were.
class EventSource {
 public:
  virtual ~EventSource() = default;
  virtual int Fd() const = 0;
  // Reads what is pending without blocking: the arrivals and removals, in order.
  virtual std::vector<DeviceChange> Drain() = 0;
};

class PollingDeviceNotifier final : public DeviceNotifier {
 public:
  // Called at each registration: the sources to watch for it.
  using SourceFactory = std::function<std::vector<std::unique_ptr<EventSource>>()>;

  PollingDeviceNotifier(toolkit::UiDispatcher& ui, SourceFactory sources);

  std::unique_ptr<Registration> Register(Handler handler) override;

 private:
  class LoopWatch;
  class ThreadWatch;
  toolkit::UiDispatcher& ui_;
  SourceFactory sources_;
};

// USB devices and ttys coming and going, as udev sees them; nullptr when udev cannot be reached.
std::unique_ptr<EventSource> MakeUdevEventSource();

// Virtual devices registered and unregistered; nullptr when the registry cannot be watched.
std::unique_ptr<EventSource> MakeRegistryEventSource(const VirtualDeviceRegistry& registry);

}  // namespace platform
