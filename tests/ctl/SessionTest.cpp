// The command chains against the headset model in virtual time.
#include <gtest/gtest.h>

#include "tests/ctl/HeadsetLink.h"
#include "tools/qmr7ctl/Failure.h"
#include "tools/qmr7ctl/Session.h"

namespace qmr7ctl {
namespace {

using namespace std::chrono_literals;
using testing::HeadsetLink;
using Commands = std::vector<std::string>;

sim::HeadsetState State() {
  sim::HeadsetState state;
  state.settings.speedDials = {"0312", "", "99"};
  state.settings.a2dpPercentage = 35;
  state.settings.gpsPercentage = 60;
  state.settings.gpsSharing = 0;
  state.info.firmwareVersion = 205;
  return state;
}

sim::Faults FaultsOf(const std::string& text) {
  sim::Faults faults;
  if (!text.empty()) {
    EXPECT_EQ(sim::AddFault(text, faults), "");
  }
  return faults;
}

TEST(SessionTest, ReadsIdentityThenSettingsInTheWindowsOrder) {
  for (const char* faults : {"", "noise", "split", "slow=900"}) {
    sim::Headset headset(State(), FaultsOf(faults));
    HeadsetLink link(headset);
    DeviceSession session(link, "/dev/ttyACM0");
    const DeviceInfo info = session.Identify();
    const DeviceSettings settings = session.ReadSettings();
    EXPECT_EQ(link.Commands(),
              (Commands{"AT+FPCMD1=7", "AT+FPCMD1=8", "AT+FPCMD1=9", "AT+FPCMD1=10", "AT+FPCMD1=1",
                        "AT+FPCMD1=2", "AT+FPCMD1=3", "AT+FPCMD1=4", "AT+FPCMD1=5"}))
        << faults;
    EXPECT_EQ(info.identity, 89075089) << faults;
    EXPECT_EQ(info.firmwareVersion, 205) << faults;
    EXPECT_EQ(info.model, "QMR7") << faults;
    EXPECT_EQ(info.address, "00:0B:24:52:37:19") << faults;
    EXPECT_EQ(settings.speedDials, (std::array<std::string, 3>{"0312", "", "99"})) << faults;
    EXPECT_EQ(settings.a2dpPercentage, 35) << faults;
    EXPECT_EQ(settings.gpsPercentage, 60) << faults;
    EXPECT_EQ(settings.gpsSharing, 0) << faults;
  }
}

TEST(SessionTest, SavesPagesWholeWithTheWindowsCommandLines) {
  sim::Headset headset(State());
  HeadsetLink link(headset);
  DeviceSession session(link, "/dev/ttyACM0");
  DeviceSettings settings = session.ReadSettings();
  link.sent.clear();

  SettingChanges changes;
  changes.speedDials[1] = "5551234";
  changes.gpsSharing = 1;
  settings = changes.AppliedTo(settings);
  session.SavePages(changes, settings);
  EXPECT_EQ(link.Commands(), (Commands{"AT+FPCMD1=21,0312", "AT+FPCMD1=22,5551234",
                                       "AT+FPCMD1=23,99", "AT+FPCMD1=25,60,1"}));
  EXPECT_EQ(headset.State().settings.speedDials[1], "5551234");
  EXPECT_EQ(headset.State().settings.gpsSharing, 1);
  EXPECT_EQ(headset.State().settings.a2dpPercentage, 35);

  link.sent.clear();
  session.SaveAll(settings);
  EXPECT_EQ(link.Commands(), (Commands{"AT+FPCMD1=21,0312", "AT+FPCMD1=22,5551234",
                                       "AT+FPCMD1=23,99", "AT+FPCMD1=24,35", "AT+FPCMD1=25,60,1"}));
}

TEST(SessionTest, RestoreDefaultsSendsCode27) {
  sim::Headset headset(State());
  HeadsetLink link(headset);
  DeviceSession session(link, "/dev/ttyACM0");
  session.RestoreDefaults();
  EXPECT_EQ(link.Commands(), (Commands{"AT+FPCMD1=27"}));
  EXPECT_EQ(headset.State().settings, sim::Settings{});
}

struct FailureCase {
  const char* faults;
  Exit exit;
  std::string message;
  std::size_t commandsSent;
};

TEST(SessionTest, StopsAtTheFirstCommandThatFails) {
  const FailureCase cases[] = {
      {"silent", Exit::Timeout, "Time out for the device on /dev/ttyACM0 to respond.", 1},
      {"ok-only", Exit::Timeout, "Time out for the device on /dev/ttyACM0 to respond.", 1},
      {"slow=1001", Exit::Timeout, "Time out for the device on /dev/ttyACM0 to respond.", 1},
      {"wrong-identity", Exit::Refused,
       "The device on /dev/ttyACM0 is not a QM-R7 headset (identity 89075088).", 1},
      {"unplug-after=3", Exit::NoDevice, "unplugged", 3},
  };
  for (const auto& c : cases) {
    sim::Headset headset(State(), FaultsOf(c.faults));
    HeadsetLink link(headset);
    DeviceSession session(link, "/dev/ttyACM0");
    try {
      session.Identify();
      session.ReadSettings();
      ADD_FAILURE() << c.faults << ": no failure";
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.Code(), c.exit) << c.faults;
      EXPECT_EQ(failure.what(), c.message) << c.faults;
    }
    EXPECT_EQ(link.sent.size(), c.commandsSent) << c.faults;
  }
}

TEST(SessionTest, TheDeviceHasTheWindowsSecondForBothLines) {
  sim::Headset headset(State(), FaultsOf("silent"));
  HeadsetLink link(headset);
  DeviceSession session(link, "/dev/ttyACM0");
  EXPECT_THROW(session.Identify(), Failure);
  EXPECT_EQ(link.Now() - link.sendTimes.at(0), 1000ms);

  // 999 ms for OK and status together is in time; the next command gets a second of its own.
  sim::Headset slow(State(), FaultsOf("slow=999"));
  HeadsetLink slowLink(slow);
  DeviceSession slowSession(slowLink, "/dev/ttyACM0");
  EXPECT_EQ(slowSession.Identify().model, "QMR7");
  EXPECT_EQ(slowLink.sendTimes.at(3) - slowLink.sendTimes.at(0), 3 * 999ms);
}

// A device whose answer to code 8 is scripted; the other codes of Identify are answered plainly.
class ScriptLink final : public DeviceLink {
 public:
  explicit ScriptLink(std::vector<std::string> versionLines) : versionLines_(versionLines) {}
  void Send(const std::string& line) override {
    sent.push_back(line);
    const std::string code = line.substr(10, line.size() - 11);
    if (code == "8") {
      for (const auto& l : versionLines_)
        buffer_.Append(l);
    } else {
      buffer_.Append("OK\r\n+FPSTS1=" + code + "," + (code == "7" ? "89075089" : "x") + "\r\n");
    }
  }
  std::optional<std::string> ReadLine(Clock::time_point deadline) override {
    if (auto line = buffer_.TakeLine()) return line;
    now_ = deadline;
    return std::nullopt;
  }
  Clock::time_point Now() override { return now_; }
  std::vector<std::string> sent;

 private:
  std::vector<std::string> versionLines_;
  app::LineBuffer buffer_;
  Clock::time_point now_{};
};

TEST(SessionTest, TakesOnlyAStatusLineForItsCodeAfterAnOk) {
  struct Case {
    const char* name;
    std::vector<std::string> lines;
    std::optional<Exit> failure;
    int version;
  };
  const Case cases[] = {
      {"OK then status", {"OK\r\n", "+FPSTS1=8,123\r\n"}, std::nullopt, 123},
      {"echo, other codes and noise first",
       {"AT+FPCMD1=8\r\n", "+FPSTS1=7,1\r\n", "OK\r\n", "+FPSTS1=9,QMR7\r\n", "RING\r\n",
        "+FPSTS1= , 8 ,5\r\n"},
       std::nullopt,
       5},
      {"one burst, line feeds only", {"OK\n+FPSTS1=8,7\n"}, std::nullopt, 7},
      {"status before its OK is not replayed", {"+FPSTS1=8,123\r\n", "OK\r\n"}, Exit::Timeout, 0},
      {"an ERROR line is ignored", {"ERROR\r\n", "OK\r\n", "+FPSTS1=8,123\r\n"}, std::nullopt, 123},
      {"ERROR and no answer is a refusal", {"ERROR: busy\r\n"}, Exit::Refused, 0},
      {"no line feed, no line", {"OK\r\n", "+FPSTS1=8,123"}, Exit::Timeout, 0},
  };
  for (const auto& c : cases) {
    ScriptLink link(c.lines);
    DeviceSession session(link, "p");
    try {
      const DeviceInfo info = session.Identify();
      EXPECT_FALSE(c.failure) << c.name;
      EXPECT_EQ(info.firmwareVersion, c.version) << c.name;
      EXPECT_EQ(link.sent.size(), 4u) << c.name;
    } catch (const Failure& failure) {
      ASSERT_TRUE(c.failure) << c.name << ": " << failure.what();
      EXPECT_EQ(failure.Code(), *c.failure) << c.name;
      EXPECT_EQ(link.sent.size(), 2u) << c.name;
    }
  }
}

}  // namespace
}  // namespace qmr7ctl
