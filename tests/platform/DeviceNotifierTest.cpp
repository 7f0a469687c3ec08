#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/PollingDeviceNotifier.h"
#include "platform/UdevPortEnumerator.h"
#include "tests/support/PumpUntil.h"
#include "tests/support/TempDir.h"
#include "toolkit/Application.h"

namespace platform {
namespace {

using namespace std::chrono_literals;

// A pipe standing in for a device source: each byte written is one change, 0 the arrival and 1
// the removal of the port /dev/ttyTEST.
class PipeSource final : public EventSource {
 public:
  explicit PipeSource(int readFd) : fd_(readFd) {}
  ~PipeSource() override { ::close(fd_); }
  int Fd() const override { return fd_; }
  std::vector<DeviceChange> Drain() override {
    unsigned char byte = 0;
    std::vector<DeviceChange> changes;
    while (::read(fd_, &byte, 1) == 1) {
      changes.push_back(
          {byte == 0 ? kDeviceArrival : kDeviceRemoveComplete, DeviceKind::Port, "/dev/ttyTEST"});
    }
    return changes;
  }

 private:
  int fd_;
};

// A dispatcher that passes everything to a queue and records which descriptors its loop watches.
class WatchSpy final : public toolkit::UiDispatcher, public toolkit::FdWatcher {
 public:
  explicit WatchSpy(toolkit::DispatchQueue& queue) : queue_(queue) {}
  bool IsUiThread() const override { return queue_.IsUiThread(); }
  bool Synchronize(const std::function<void()>& call) override { return queue_.Synchronize(call); }
  void Post(std::function<void()> call) override { queue_.Post(std::move(call)); }
  FdWatcher* Watcher() override { return queue_.Watcher() != nullptr ? this : nullptr; }
  void Watch(int fd, std::function<void()> ready) override {
    watched.push_back(fd);
    queue_.Watch(fd, std::move(ready));
  }
  void Unwatch(int fd) override {
    std::erase(watched, fd);
    queue_.Unwatch(fd);
  }
  std::vector<int> watched;

 private:
  toolkit::DispatchQueue& queue_;
};

// Every case runs with the UI loop watching the sources itself (true) and with a dispatcher that
// cannot, where a thread of the notifier's own waits on them (false).
class DeviceNotifierTest : public ::testing::TestWithParam<bool> {
 protected:
  DeviceNotifierTest() : queue_({}, GetParam()) {}

  void SetUp() override { ASSERT_EQ(::pipe2(fds_, O_NONBLOCK | O_CLOEXEC), 0); }
  void TearDown() override { ::close(fds_[1]); }

  PollingDeviceNotifier MakeNotifier() {
    return PollingDeviceNotifier(queue_, [this] {
      std::vector<std::unique_ptr<EventSource>> sources;
      sources.push_back(std::make_unique<PipeSource>(fds_[0]));
      return sources;
    });
  }

  void Send(unsigned char byte) { ASSERT_EQ(::write(fds_[1], &byte, 1), 1); }

  // Pumps the UI queue until `count` events arrived; fails after a generous bound.
  void PumpUntil(const std::vector<unsigned>& seen, std::size_t count) {
    EXPECT_TRUE(testsupport::PumpUntil(queue_, [&] { return seen.size() >= count; }));
  }

  toolkit::DispatchQueue queue_;
  int fds_[2] = {-1, -1};
};

TEST_P(DeviceNotifierTest, EventsReachTheHandlerOnTheUiThreadInOrder) {
  auto notifier = MakeNotifier();
  std::vector<unsigned> seen;
  const auto ui = std::this_thread::get_id();
  std::vector<std::string> names;
  auto registration = notifier.Register([&](const DeviceChange& change) {
    EXPECT_EQ(std::this_thread::get_id(), ui);
    EXPECT_EQ(change.kind, DeviceKind::Port);
    seen.push_back(change.eventCode);
    names.push_back(change.name);
  });
  Send(0);
  Send(1);
  Send(0);
  PumpUntil(seen, 3);
  EXPECT_EQ(seen, (std::vector<unsigned>{kDeviceArrival, kDeviceRemoveComplete, kDeviceArrival}));
  EXPECT_EQ(names, std::vector<std::string>(3, "/dev/ttyTEST"));
}

TEST_P(DeviceNotifierTest, NothingArrivesAfterTheRegistrationEnds) {
  auto notifier = MakeNotifier();
  std::vector<unsigned> seen;
  auto registration =
      notifier.Register([&](const DeviceChange& change) { seen.push_back(change.eventCode); });
  Send(0);
  // Whether the watcher already handed the event over or not, ending the registration first
  // means the handler never runs.
  registration.reset();
  queue_.Pump();
  EXPECT_TRUE(seen.empty());
}

TEST_P(DeviceNotifierTest, AHandlerThatEndsItsRegistrationHearsNoFurtherChange) {
  std::vector<std::string> reports;
  toolkit::SetExceptionHandler([&](const std::string& text) { reports.push_back(text); });
  auto notifier = MakeNotifier();
  std::vector<unsigned> seen;
  std::unique_ptr<DeviceNotifier::Registration> registration;
  // Longer than a string keeps in place: the handler's own state outlives the call that ends
  // the registration (an address sanitizer build shows it).
  const std::string tag(64, 'x');
  std::string tagAfterReset;
  registration = notifier.Register([&, tag](const DeviceChange& change) {
    seen.push_back(change.eventCode);
    registration.reset();
    tagAfterReset = tag;
  });
  // Both changes wait in the source at once, so one drain takes both.
  Send(0);
  Send(1);
  EXPECT_TRUE(testsupport::PumpUntil(queue_, [&] { return !seen.empty(); }));
  queue_.Pump();
  toolkit::SetExceptionHandler({});
  EXPECT_EQ(seen, (std::vector<unsigned>{kDeviceArrival}));
  EXPECT_EQ(tagAfterReset, tag);
  EXPECT_TRUE(reports.empty()) << reports.front();
}

TEST_P(DeviceNotifierTest, AHandlerThatRunsANestedLoopStillHearsChangesInOrder) {
  auto notifier = MakeNotifier();
  std::vector<unsigned> seen;
  auto registration = notifier.Register([&](const DeviceChange& change) {
    seen.push_back(change.eventCode);
    if (seen.size() != 1) return;
    // As a message box does: a loop of its own, in which a newer change arrives.
    Send(0);
    EXPECT_TRUE(testsupport::PumpUntil(queue_, [&] { return seen.size() >= 3; }));
  });
  Send(0);
  Send(1);
  PumpUntil(seen, 3);
  EXPECT_EQ(seen, (std::vector<unsigned>{kDeviceArrival, kDeviceRemoveComplete, kDeviceArrival}));
}

TEST_P(DeviceNotifierTest, TheUiLoopWatchesTheSourcesWhereItCanForAsLongAsTheRegistrationLives) {
  WatchSpy spy(queue_);
  PollingDeviceNotifier notifier(spy, [this] {
    std::vector<std::unique_ptr<EventSource>> sources;
    sources.push_back(std::make_unique<PipeSource>(fds_[0]));
    return sources;
  });
  const int source = fds_[0];
  std::vector<unsigned> seen;
  auto registration =
      notifier.Register([&](const DeviceChange& change) { seen.push_back(change.eventCode); });
  if (GetParam()) {
    EXPECT_EQ(spy.watched, std::vector<int>{source});
    // The loop itself finds the change: one round delivers it, nothing is handed over.
    Send(0);
    queue_.Pump();
    EXPECT_EQ(seen.size(), 1u);
  } else {
    EXPECT_TRUE(spy.watched.empty());
    Send(0);
    PumpUntil(seen, 1);
  }
  registration.reset();
  EXPECT_TRUE(spy.watched.empty());
}

TEST_P(DeviceNotifierTest, VirtualDevicesArriveAndLeaveAndAreListedAsPorts) {
  testsupport::TempDir dir;
  const VirtualDeviceRegistry registry(dir / "registry");
  registry.EnsureDirectory();
  PollingDeviceNotifier notifier(queue_, [&] {
    std::vector<std::unique_ptr<EventSource>> sources;
    sources.push_back(MakeRegistryEventSource(registry));
    return sources;
  });
  std::vector<unsigned> seen;
  std::vector<DeviceChange> changes;
  auto registration = notifier.Register([&](const DeviceChange& change) {
    seen.push_back(change.eventCode);
    changes.push_back(change);
  });

  VirtualDevice device;
  device.kind = kSerialKind;
  device.path = "/dev/pts/99";
  device.description = "USB Serial Device (QM-R7 virtual headset)";
  {
    ScopedRegistration held(registry, device);
    PumpUntil(seen, 1);
    EXPECT_EQ(seen, (std::vector<unsigned>{kDeviceArrival}));
    const auto ports = SystemPortEnumerator(registry).Enumerate();
    ASSERT_FALSE(ports.empty());
    EXPECT_EQ(ports.back().name, "/dev/pts/99");
    EXPECT_EQ(ports.back().description, "USB Serial Device (QM-R7 virtual headset)");
  }
  PumpUntil(seen, 2);
  EXPECT_EQ(changes, (std::vector<DeviceChange>{
                         {kDeviceArrival, DeviceKind::Port, "/dev/pts/99"},
                         {kDeviceRemoveComplete, DeviceKind::Port, "/dev/pts/99"},
                     }));
  for (const auto& port : SystemPortEnumerator(registry).Enumerate()) {
    EXPECT_NE(port.name, "/dev/pts/99");
  }
}

INSTANTIATE_TEST_SUITE_P(Watching, DeviceNotifierTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return param.param ? "OnTheUiLoop" : "OnAThread";
                         });

}  // namespace
}  // namespace platform

namespace platform {
namespace {

TEST(ManualDeviceNotifierTest, EveryRegistrationHearsEachChangeUntilItEnds) {
  ManualDeviceNotifier notifier;
  std::vector<std::string> heard;
  auto first = notifier.Register([&](const DeviceChange& c) { heard.push_back("1 " + c.name); });
  auto second = notifier.Register([&](const DeviceChange& c) { heard.push_back("2 " + c.name); });
  EXPECT_EQ(notifier.Registrations(), 2U);
  notifier.Notify({kDeviceArrival, DeviceKind::Port, "/dev/ttyACM0"});
  first.reset();
  notifier.Notify({kDeviceRemoveComplete, DeviceKind::Port, "/dev/ttyACM0"});
  EXPECT_EQ(heard,
            (std::vector<std::string>{"1 /dev/ttyACM0", "2 /dev/ttyACM0", "2 /dev/ttyACM0"}));
  second.reset();
  EXPECT_FALSE(notifier.Registered());
}

TEST(ManualDeviceNotifierTest, AHandlerThatEndsAnotherRegistrationKeepsItFromBeingCalled) {
  ManualDeviceNotifier notifier;
  std::unique_ptr<DeviceNotifier::Registration> second;
  int secondCalls = 0;
  auto first = notifier.Register([&](const DeviceChange&) { second.reset(); });
  second = notifier.Register([&](const DeviceChange&) { ++secondCalls; });
  notifier.Notify(kDeviceArrival);
  EXPECT_EQ(secondCalls, 0);
  EXPECT_EQ(notifier.Registrations(), 1U);
}

}  // namespace
}  // namespace platform
