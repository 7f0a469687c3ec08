#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/PollingDeviceNotifier.h"
#include "platform/UdevPortEnumerator.h"
#include "tests/support/PumpUntil.h"
#include "tests/support/TempDir.h"

namespace platform {
namespace {

// A pipe standing in for a device source: each byte written is one event code's low byte.
class PipeSource final : public EventSource {
 public:
  explicit PipeSource(int readFd) : fd_(readFd) {}
  ~PipeSource() override { ::close(fd_); }
  int Fd() const override { return fd_; }
  std::vector<unsigned> Drain() override {
    unsigned char byte = 0;
    std::vector<unsigned> codes;
    while (::read(fd_, &byte, 1) == 1)
      codes.push_back(byte == 0 ? kDeviceArrival : kDeviceRemoveComplete);
    return codes;
  }

 private:
  int fd_;
};

class DeviceNotifierTest : public ::testing::Test {
 protected:
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

TEST_F(DeviceNotifierTest, EventsReachTheHandlerOnTheUiThreadInOrder) {
  auto notifier = MakeNotifier();
  std::vector<unsigned> seen;
  const auto ui = std::this_thread::get_id();
  auto registration = notifier.Register([&](unsigned code) {
    EXPECT_EQ(std::this_thread::get_id(), ui);
    seen.push_back(code);
  });
  Send(0);
  Send(1);
  Send(0);
  PumpUntil(seen, 3);
  EXPECT_EQ(seen, (std::vector<unsigned>{kDeviceArrival, kDeviceRemoveComplete, kDeviceArrival}));
}

TEST_F(DeviceNotifierTest, NothingArrivesAfterTheRegistrationEnds) {
  auto notifier = MakeNotifier();
  std::vector<unsigned> seen;
  auto registration = notifier.Register([&](unsigned code) { seen.push_back(code); });
  Send(0);
  // Whether the watcher already handed the event over or not, ending the registration first
  // means the handler never runs.
  registration.reset();
  queue_.Pump();
  EXPECT_TRUE(seen.empty());
}

TEST_F(DeviceNotifierTest, VirtualDevicesArriveAndLeaveAndAreListedAsPorts) {
  testsupport::TempDir dir;
  const VirtualDeviceRegistry registry(dir / "registry");
  registry.EnsureDirectory();
  PollingDeviceNotifier notifier(queue_, [&] {
    std::vector<std::unique_ptr<EventSource>> sources;
    sources.push_back(MakeRegistryEventSource(registry));
    return sources;
  });
  std::vector<unsigned> seen;
  auto registration = notifier.Register([&](unsigned code) { seen.push_back(code); });

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
  EXPECT_EQ(seen, (std::vector<unsigned>{kDeviceArrival, kDeviceRemoveComplete}));
  for (const auto& port : SystemPortEnumerator(registry).Enumerate()) {
    EXPECT_NE(port.name, "/dev/pts/99");
  }
}

}  // namespace
}  // namespace platform
