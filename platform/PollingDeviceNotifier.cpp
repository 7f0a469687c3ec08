#include "platform/PollingDeviceNotifier.h"

#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <thread>

namespace platform {

namespace {

// What a registration's deliveries share, on the UI thread only. Ending the registration clears
// `live` and leaves the handler alone: it may be the very call that ends it, and it must outlive
// that call.
struct Delivery {
  explicit Delivery(DeviceNotifier::Handler h) : handler(std::move(h)) {}
  const DeviceNotifier::Handler handler;
  bool live = true;
  std::deque<DeviceChange> pending;  // drained by the UI loop, not yet delivered
};

}  // namespace

// The UI thread's own loop watches the sources: no thread, and each change reaches the handler in
// the round of the loop that found it.
class PollingDeviceNotifier::LoopWatch final : public Registration {
 public:
  LoopWatch(toolkit::FdWatcher& watcher, Handler handler,
            std::vector<std::unique_ptr<EventSource>> sources)
      : watcher_(watcher),
        delivery_(std::make_shared<Delivery>(std::move(handler))),
        sources_(std::move(sources)) {
    for (std::size_t i = 0; i < sources_.size(); ++i)
      watcher_.Watch(sources_[i]->Fd(), [this, i] { Deliver(*sources_[i]); });
  }

  ~LoopWatch() override {
    delivery_->live = false;
    for (const auto& s : sources_)
      watcher_.Unwatch(s->Fd());
  }

 private:
  // Changes wait in one queue, oldest first: a handler that runs a nested loop (a message box),
  // in which the watch drains newer changes, still sees them in order. A handler may end the
  // registration, and with it this watch, between two changes.
  void Deliver(EventSource& source) {
    const std::shared_ptr<Delivery> delivery = delivery_;
    for (DeviceChange& change : source.Drain())
      delivery->pending.push_back(std::move(change));
    while (delivery->live && !delivery->pending.empty()) {
      const DeviceChange change = std::move(delivery->pending.front());
      delivery->pending.pop_front();
      delivery->handler(change);
    }
  }

  toolkit::FdWatcher& watcher_;
  std::shared_ptr<Delivery> delivery_;
  std::vector<std::unique_ptr<EventSource>> sources_;
};

// A loop that cannot watch descriptors: a thread waits on the sources and hands each change over.
class PollingDeviceNotifier::ThreadWatch final : public Registration {
 public:
  // Takes `wake`, an eventfd that ends the watch.
  ThreadWatch(toolkit::UiDispatcher& ui, Handler handler,
              std::vector<std::unique_ptr<EventSource>> sources, int wake)
      : ui_(ui),
        delivery_(std::make_shared<Delivery>(std::move(handler))),
        sources_(std::move(sources)),
        wake_(wake),
        thread_([this] { Run(); }) {}

  ~ThreadWatch() override {
    // On the UI thread: changes already posted find the registration ended.
    delivery_->live = false;
    stop_.store(true);
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(wake_, &one, sizeof one);
    thread_.join();
    ::close(wake_);
  }

 private:
  void Run() {
    std::vector<pollfd> fds;
    fds.push_back({wake_, POLLIN, 0});
    for (const auto& s : sources_)
      fds.push_back({s->Fd(), POLLIN, 0});
    while (!stop_.load()) {
      if (::poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      for (std::size_t i = 1; i < fds.size(); ++i) {
        if ((fds[i].revents & (POLLIN | POLLERR | POLLHUP)) == 0) continue;
        for (DeviceChange& change : sources_[i - 1]->Drain())
          Deliver(std::move(change));
      }
    }
  }

  void Deliver(DeviceChange change) {
    ui_.Post([delivery = delivery_, change = std::move(change)] {
      if (delivery->live) delivery->handler(change);
    });
  }

  toolkit::UiDispatcher& ui_;
  // Touched on the UI thread only; the thread copies the pointer into what it posts.
  const std::shared_ptr<Delivery> delivery_;
  std::vector<std::unique_ptr<EventSource>> sources_;
  std::atomic<bool> stop_{false};
  int wake_;
  std::thread thread_;
};

PollingDeviceNotifier::PollingDeviceNotifier(toolkit::UiDispatcher& ui, SourceFactory sources)
    : ui_(ui), sources_(std::move(sources)) {}

std::unique_ptr<DeviceNotifier::Registration> PollingDeviceNotifier::Register(Handler handler) {
  if (toolkit::FdWatcher* watcher = ui_.Watcher()) {
    return std::make_unique<LoopWatch>(*watcher, std::move(handler), sources_());
  }
  // Without its wake-up the watch could never be ended.
  const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) return nullptr;
  return std::make_unique<ThreadWatch>(ui_, std::move(handler), sources_(), wake);
}

namespace {

// A removal event still carries the node the device had.
void Describe(udev_device* d, DeviceChange& change) {
  const char* subsystem = udev_device_get_subsystem(d);
  const char* node = udev_device_get_devnode(d);
  if (subsystem != nullptr && std::strcmp(subsystem, "tty") == 0) {
    change.kind = DeviceKind::Port;
  } else if (subsystem != nullptr && std::strcmp(subsystem, "usb") == 0) {
    change.kind = DeviceKind::Interface;
    if (node == nullptr) node = udev_device_get_syspath(d);
  }
  change.name = node != nullptr ? node : "";
}

class UdevEventSource final : public EventSource {
 public:
  UdevEventSource(udev* u, udev_monitor* m) : udev_(u), monitor_(m) {}
  ~UdevEventSource() override {
    udev_monitor_unref(monitor_);
    udev_unref(udev_);
  }

  int Fd() const override { return udev_monitor_get_fd(monitor_); }

  std::vector<DeviceChange> Drain() override {
    std::vector<DeviceChange> changes;
    while (udev_device* d = udev_monitor_receive_device(monitor_)) {
      const char* action = udev_device_get_action(d);
      DeviceChange change;
      const bool add = action != nullptr && std::strcmp(action, "add") == 0;
      const bool remove = action != nullptr && std::strcmp(action, "remove") == 0;
      if (add || remove) {
        change.eventCode = add ? kDeviceArrival : kDeviceRemoveComplete;
        Describe(d, change);
        changes.push_back(std::move(change));
      }
      udev_device_unref(d);
    }
    return changes;
  }

 private:
  udev* udev_;
  udev_monitor* monitor_;
};

class RegistryEventSource final : public EventSource {
 public:
  explicit RegistryEventSource(const VirtualDeviceRegistry& registry) : watcher_(registry) {}

  int Fd() const override { return watcher_.Fd(); }

  std::vector<DeviceChange> Drain() override {
    std::vector<DeviceChange> changes;
    for (const VirtualDeviceEvent& e : watcher_.ReadEvents()) {
      DeviceChange change;
      change.eventCode =
          e.kind == VirtualDeviceEvent::Kind::Arrived ? kDeviceArrival : kDeviceRemoveComplete;
      if (e.device.kind == kSerialKind) change.kind = DeviceKind::Port;
      if (e.device.kind == kUsbDfuKind) change.kind = DeviceKind::Interface;
      change.name = e.device.path;
      changes.push_back(std::move(change));
    }
    return changes;
  }

 private:
  VirtualDeviceWatcher watcher_;
};

}  // namespace

std::unique_ptr<EventSource> MakeRegistryEventSource(const VirtualDeviceRegistry& registry) {
  try {
    return std::make_unique<RegistryEventSource>(registry);
  } catch (const RegistryError&) {
    return nullptr;
  }
}

std::unique_ptr<EventSource> MakeUdevEventSource() {
  udev* u = udev_new();
  if (u == nullptr) return nullptr;
  // Without a udev daemon (containers) the kernel's own events still tell of devices.
  const bool daemon = ::access("/run/udev/control", F_OK) == 0;
  udev_monitor* m = udev_monitor_new_from_netlink(u, daemon ? "udev" : "kernel");
  if (m == nullptr) {
    udev_unref(u);
    return nullptr;
  }
  // The tty events matter too: a USB serial device's port appears after the device itself.
  udev_monitor_filter_add_match_subsystem_devtype(m, "usb", "usb_device");
  udev_monitor_filter_add_match_subsystem_devtype(m, "tty", nullptr);
  if (udev_monitor_enable_receiving(m) < 0) {
    udev_monitor_unref(m);
    udev_unref(u);
    return nullptr;
  }
  return std::make_unique<UdevEventSource>(u, m);
}

}  // namespace platform
