#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <filesystem>
#include <memory>
#include <optional>

#include "platform/VirtualDeviceRegistry.h"
#include "sim/StateFile.h"
#include "sim/VirtualHeadset.h"
#include "tests/sim/PtyHarness.h"
#include "tests/support/TempDir.h"

namespace sim {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::VirtualDeviceEvent;
using testing::GatedPacer;
using testing::kSafetyTimeoutMs;
using testing::ToolPort;

bool WaitReadable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, kSafetyTimeoutMs) == 1;
}

// The watcher's next batch of events, waiting for one to come.
std::vector<VirtualDeviceEvent> NextEvents(platform::VirtualDeviceWatcher& watcher) {
  for (;;) {
    if (!WaitReadable(watcher.Fd())) return {};
    auto events = watcher.ReadEvents();
    if (!events.empty()) return events;
  }
}

// Collects events until one of `kind` comes; returns it.
std::optional<platform::VirtualDevice> WaitForEvent(platform::VirtualDeviceWatcher& watcher,
                                                    VirtualDeviceEvent::Kind kind) {
  for (;;) {
    const auto events = NextEvents(watcher);
    if (events.empty()) return std::nullopt;
    for (const auto& event : events) {
      if (event.kind == kind) return event.device;
    }
  }
}

// Runs `job` without privileges (root skips the exclusive-open check): in a child process as
// nobody when we are root, else right here. Returns what `job` returns, an errno value or 0.
template <typename Job>
int RunUnprivileged(Job job) {
  if (::geteuid() != 0) return job();
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) _exit(125);
    _exit(job());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 126;
}

class VirtualHeadsetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registry_.emplace(root_ + "/registry");
    options_.registry = &*registry_;
    options_.pacer = pacer_.Pacer();
  }

  void TearDown() override {
    pacer_.Open();  // a headset held in a pause could not stop
    headset_.reset();
  }

  VirtualHeadset& Start(HeadsetState state = {}) {
    headset_ = std::make_unique<VirtualHeadset>(std::move(state), options_);
    return *headset_;
  }

  void StartWithFaults(const std::string& faults) {
    std::size_t start = 0;
    for (;;) {
      const auto comma = faults.find(',', start);
      ASSERT_EQ(AddFault(faults.substr(start, comma - start), options_.faults), "");
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    Start();
  }

  testsupport::TempDir tmp_;
  const std::string root_ = tmp_.Path();
  std::optional<platform::VirtualDeviceRegistry> registry_;
  GatedPacer pacer_;
  // For callbacks, which run on the headset's thread.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<bool> toolPortUses_;
  VirtualHeadset::Options options_;
  std::unique_ptr<VirtualHeadset> headset_;
};

TEST_F(VirtualHeadsetTest, EveryCodeAnswersOverThePtyInTheWireFormat) {
  HeadsetState state;
  state.settings.speedDials = {"0312", "", "0987654321012345"};
  state.settings.a2dpPercentage = 33;
  state.settings.gpsPercentage = 66;
  state.settings.gpsSharing = 0;
  Start(state);
  ToolPort tool(headset_->SlavePath());
  struct Case {
    const char* command;
    const char* answer;
  };
  const Case cases[] = {
      {"AT+FPCMD1=7", "OK\r\n+FPSTS1=7,89075089\r\n"},
      {"AT+FPCMD1=8", "OK\r\n+FPSTS1=8,123\r\n"},
      {"AT+FPCMD1=9", "OK\r\n+FPSTS1=9,QMR7\r\n"},
      {"AT+FPCMD1=10", "OK\r\n+FPSTS1=10,00:0B:24:52:37:19\r\n"},
      {"AT+FPCMD1=1", "OK\r\n+FPSTS1=1,0312\r\n"},
      {"AT+FPCMD1=2", "OK\r\n+FPSTS1=2,\r\n"},
      {"AT+FPCMD1=3", "OK\r\n+FPSTS1=3,0987654321012345\r\n"},
      {"AT+FPCMD1=4", "OK\r\n+FPSTS1=4,33\r\n"},
      {"AT+FPCMD1=5", "OK\r\n+FPSTS1=5,66,0\r\n"},
      {"AT+FPCMD1=21,5551234", "OK\r\n+FPSTS1=21,5551234\r\n"},
      {"AT+FPCMD1=22,", "OK\r\n+FPSTS1=22,\r\n"},
      {"AT+FPCMD1=23,12a", "OK\r\n+FPSTS1=23,0987654321012345\r\n"},
      {"AT+FPCMD1=24,80", "OK\r\n+FPSTS1=24,80\r\n"},
      {"AT+FPCMD1=25,10,1", "OK\r\n+FPSTS1=25,10,1\r\n"},
      {"AT+FPCMD1=27", "OK\r\n+FPSTS1=27\r\n"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(tool.Transact(c.command), c.answer) << c.command;
  EXPECT_EQ(tool.Transact("AT+FPCMD1=12", 1), "ERROR\r\n");
  // The same command ended the other ways a terminal program might.
  tool.Send("AT+FPCMD1=4\r\n");
  EXPECT_EQ(tool.ReadLines(2), "OK\r\n+FPSTS1=4,20\r\n");
  tool.Send("AT+FPCMD1=4\n");
  EXPECT_EQ(tool.ReadLines(2), "OK\r\n+FPSTS1=4,20\r\n");
  EXPECT_FALSE(tool.HasData());
}

TEST_F(VirtualHeadsetTest, WritesPersistBetweenRunsAndFactoryDefaultsAreSavedToo) {
  options_.stateFile = root_ + "/state/headset";
  Start();
  {
    ToolPort tool(headset_->SlavePath());
    EXPECT_EQ(tool.Transact("AT+FPCMD1=21,0312345678"), "OK\r\n+FPSTS1=21,0312345678\r\n");
    EXPECT_EQ(tool.Transact("AT+FPCMD1=22,117"), "OK\r\n+FPSTS1=22,117\r\n");
    EXPECT_EQ(tool.Transact("AT+FPCMD1=23,"), "OK\r\n+FPSTS1=23,\r\n");
    EXPECT_EQ(tool.Transact("AT+FPCMD1=24,75"), "OK\r\n+FPSTS1=24,75\r\n");
    EXPECT_EQ(tool.Transact("AT+FPCMD1=25,40,0"), "OK\r\n+FPSTS1=25,40,0\r\n");
  }
  headset_.reset();
  Settings written;
  written.speedDials = {"0312345678", "117", ""};
  written.a2dpPercentage = 75;
  written.gpsPercentage = 40;
  written.gpsSharing = 0;
  EXPECT_EQ(LoadState(options_.stateFile).settings, written);

  Start(LoadState(options_.stateFile));
  ToolPort tool(headset_->SlavePath());
  EXPECT_EQ(tool.Transact("AT+FPCMD1=1"), "OK\r\n+FPSTS1=1,0312345678\r\n");
  EXPECT_EQ(tool.Transact("AT+FPCMD1=2"), "OK\r\n+FPSTS1=2,117\r\n");
  EXPECT_EQ(tool.Transact("AT+FPCMD1=4"), "OK\r\n+FPSTS1=4,75\r\n");
  EXPECT_EQ(tool.Transact("AT+FPCMD1=5"), "OK\r\n+FPSTS1=5,40,0\r\n");
  EXPECT_EQ(tool.Transact("AT+FPCMD1=27"), "OK\r\n+FPSTS1=27\r\n");
  EXPECT_EQ(tool.Transact("AT+FPCMD1=1"), "OK\r\n+FPSTS1=1,\r\n");
  EXPECT_EQ(LoadState(options_.stateFile), HeadsetState{});
  EXPECT_EQ(headset_->State(), HeadsetState{});
}

TEST_F(VirtualHeadsetTest, ThePortStaysUsableWhenTheToolClosesAndReopensIt) {
  Start();
  const std::string path = headset_->SlavePath();
  for (int round = 0; round < 3; ++round) {
    ToolPort tool(path);
    EXPECT_EQ(tool.Transact("AT+FPCMD1=7"), "OK\r\n+FPSTS1=7,89075089\r\n") << round;
  }
  EXPECT_EQ(headset_->GetPresence(), Presence::Attached);
  EXPECT_EQ(headset_->SlavePath(), path);
}

TEST_F(VirtualHeadsetTest, AnExclusiveOpenEndsWhenTheToolClosesThePort) {
  options_.onToolPort = [this](bool opened) {
    std::lock_guard lock(mutex_);
    toolPortUses_.push_back(opened);
    changed_.notify_all();
  };
  Start();
  const std::string path = headset_->SlavePath();
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
  }
  const auto openExclusively = [&] {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) return errno;
    const int result = ::ioctl(fd, TIOCEXCL) == 0 ? 0 : errno;
    ::close(fd);
    return result;
  };
  ASSERT_EQ(RunUnprivileged(openExclusively), 0);
  {
    std::unique_lock lock(mutex_);
    ASSERT_TRUE(changed_.wait_for(lock, std::chrono::milliseconds(kSafetyTimeoutMs),
                                  [&] { return toolPortUses_.size() >= 2; }));
    EXPECT_EQ(toolPortUses_, (std::vector<bool>{true, false}));
  }
  EXPECT_EQ(RunUnprivileged(openExclusively), 0);  // not EBUSY
  ToolPort tool(path);
  EXPECT_EQ(tool.Transact("AT+FPCMD1=7"), "OK\r\n+FPSTS1=7,89075089\r\n");
}

TEST_F(VirtualHeadsetTest, ItIsRegisteredWhileItRunsAndNotAfter) {
  options_.description = "USB Serial Device (Bench headset)";
  Start();
  const auto devices = registry_->List(platform::kSerialKind);
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].path, headset_->SlavePath());
  EXPECT_EQ(devices[0].description, "USB Serial Device (Bench headset)");
  EXPECT_EQ(devices[0].pid, ::getpid());
  headset_->Stop();
  EXPECT_TRUE(registry_->List().empty());
  EXPECT_EQ(headset_->SlavePath(), "");
}

TEST_F(VirtualHeadsetTest, StopEndsAPauseAtOnce) {
  options_.pacer = nullptr;  // real time: the device would stay away for ten minutes
  options_.timing.upgradeAway = 600000ms;
  Start();
  ToolPort tool(headset_->SlavePath());
  EXPECT_EQ(tool.Transact("AT+FPCMD1=20"), "OK\r\n+FPSTS1=20\r\n");
  EXPECT_TRUE(tool.WaitForHangup());
  headset_->Stop();
  EXPECT_EQ(headset_->GetPresence(), Presence::Unplugged);
  EXPECT_TRUE(registry_->List().empty());
}

TEST_F(VirtualHeadsetTest, SilentNeverAnswers) {
  // Leaving after the line is what shows that the line was read and nothing came back.
  StartWithFaults("silent,unplug-after=1");
  ToolPort tool(headset_->SlavePath());
  tool.Send("AT+FPCMD1=7\r");
  EXPECT_TRUE(tool.WaitForHangup());
}

TEST_F(VirtualHeadsetTest, OkOnlySendsNoStatusLine) {
  StartWithFaults("ok-only,unplug-after=2");
  ToolPort tool(headset_->SlavePath());
  EXPECT_EQ(tool.Transact("AT+FPCMD1=7", 1), "OK\r\n");
  EXPECT_EQ(tool.Transact("AT+FPCMD1=24,90", 1), "OK\r\n");  // not the status of the first
  EXPECT_TRUE(tool.WaitForHangup());
  EXPECT_EQ(headset_->State().settings.a2dpPercentage, 90);
}

TEST_F(VirtualHeadsetTest, WrongIdentityReportsAnotherIdentity) {
  StartWithFaults("wrong-identity");
  ToolPort tool(headset_->SlavePath());
  EXPECT_EQ(tool.Transact("AT+FPCMD1=7"), "OK\r\n+FPSTS1=7,89075088\r\n");
  EXPECT_EQ(tool.Transact("AT+FPCMD1=9"), "OK\r\n+FPSTS1=9,QMR7\r\n");
}

TEST_F(VirtualHeadsetTest, SplitDeliversEachPieceAfterItsGap) {
  pacer_.Close();
  options_.timing.splitGap = 40ms;
  StartWithFaults("split");
  ToolPort tool(headset_->SlavePath());
  tool.Send("AT+FPCMD1=8\r");
  // Each piece is on the port before the gap that follows it ends.
  std::vector<std::string> pieces;
  for (int gap = 0; gap < 5; ++gap) {
    ASSERT_EQ(pacer_.WaitForPause(), 40ms) << gap;
    pieces.push_back(tool.ReadSome());
    pacer_.Release();
  }
  pieces.push_back(tool.ReadSome());
  const std::vector<std::string> expected = {"O", "K\r", "\n", "+FPSTS1", "=8,123\r", "\n"};
  EXPECT_EQ(pieces, expected);
}

TEST_F(VirtualHeadsetTest, NoiseAddsEchoAndUnrelatedLinesAroundTheAnswer) {
  StartWithFaults("noise");
  ToolPort tool(headset_->SlavePath());
  tool.Send("AT+FPCMD1=5\r");
  EXPECT_EQ(tool.ReadLine(), "AT+FPCMD1=5");
  EXPECT_EQ(tool.ReadLine(), "OK");
  const std::string unrelated = tool.ReadLine();
  EXPECT_NE(unrelated.substr(0, 2), "OK");
  EXPECT_NE(unrelated.substr(0, 8), "+FPSTS1=");
  EXPECT_EQ(tool.ReadLine(), "+FPSTS1=5,20,1");
}

TEST_F(VirtualHeadsetTest, SlowHoldsTheWholeAnswerBack) {
  pacer_.Close();
  StartWithFaults("slow=2500");
  ToolPort tool(headset_->SlavePath());
  tool.Send("AT+FPCMD1=7\r");
  ASSERT_EQ(pacer_.WaitForPause(), 2500ms);
  EXPECT_FALSE(tool.HasData());
  pacer_.Release();
  EXPECT_EQ(tool.ReadLines(2), "OK\r\n+FPSTS1=7,89075089\r\n");
}

TEST_F(VirtualHeadsetTest, UnplugAfterTakesThePortAwayForGood) {
  platform::VirtualDeviceWatcher watcher(*registry_);
  StartWithFaults("unplug-after=2");
  ASSERT_EQ(NextEvents(watcher).size(), 1u);
  ToolPort tool(headset_->SlavePath());
  EXPECT_EQ(tool.Transact("AT+FPCMD1=7"), "OK\r\n+FPSTS1=7,89075089\r\n");
  EXPECT_EQ(tool.Transact("AT+FPCMD1=8"), "OK\r\n+FPSTS1=8,123\r\n");  // delivered before leaving
  EXPECT_TRUE(tool.WaitForHangup());
  const auto events = NextEvents(watcher);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, VirtualDeviceEvent::Kind::Removed);
  EXPECT_TRUE(headset_->WaitForPresence(Presence::Unplugged, 5s));
  EXPECT_EQ(headset_->SlavePath(), "");
}

TEST_F(VirtualHeadsetTest, CodeTwentyLeavesTheSerialSideAndComesBackOnANewPort) {
  pacer_.Close();
  options_.timing.upgradeAway = 3000ms;
  platform::VirtualDeviceWatcher watcher(*registry_);
  Start();
  ASSERT_EQ(NextEvents(watcher).size(), 1u);

  ToolPort tool(headset_->SlavePath());
  EXPECT_EQ(tool.Transact("AT+FPCMD1=20"), "OK\r\n+FPSTS1=20\r\n");
  EXPECT_TRUE(tool.WaitForHangup());
  auto events = NextEvents(watcher);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, VirtualDeviceEvent::Kind::Removed);

  ASSERT_EQ(pacer_.WaitForPause(), 3000ms);  // away, and nothing is registered meanwhile
  EXPECT_EQ(headset_->GetPresence(), Presence::Away);
  EXPECT_TRUE(registry_->List().empty());
  pacer_.Release();

  events = NextEvents(watcher);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, VirtualDeviceEvent::Kind::Arrived);
  EXPECT_EQ(events[0].device.description, kDefaultDescription);
  EXPECT_EQ(events[0].device.path, headset_->SlavePath());
  ToolPort again(events[0].device.path);
  EXPECT_EQ(again.Transact("AT+FPCMD1=7"), "OK\r\n+FPSTS1=7,89075089\r\n");
}

TEST_F(VirtualHeadsetTest, TheUpgradeSideRunsWhileAwayAndCanChangeTheFirmware) {
  options_.upgradeMode = [](const UpgradeContext& context) {
    EXPECT_TRUE(context.wait(10ms));
    context.setFirmwareVersion(124);
  };
  options_.stateFile = root_ + "/state";
  platform::VirtualDeviceWatcher watcher(*registry_);
  Start();
  ASSERT_TRUE(WaitForEvent(watcher, VirtualDeviceEvent::Kind::Arrived));
  {
    ToolPort tool(headset_->SlavePath());
    EXPECT_EQ(tool.Transact("AT+FPCMD1=20"), "OK\r\n+FPSTS1=20\r\n");
  }
  const auto back = WaitForEvent(watcher, VirtualDeviceEvent::Kind::Arrived);
  ASSERT_TRUE(back);
  ToolPort tool(back->path);
  EXPECT_EQ(tool.Transact("AT+FPCMD1=8"), "OK\r\n+FPSTS1=8,124\r\n");
  EXPECT_EQ(pacer_.WaitForPause(), 10ms);
  EXPECT_EQ(LoadState(options_.stateFile).info.firmwareVersion, 124);
}

}  // namespace
}  // namespace sim
