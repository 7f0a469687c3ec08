// qmr7ctl through the serial port component to the virtual headset on a pseudo-terminal,
// in-process.
#include <gtest/gtest.h>

#include <thread>

#include "platform/VirtualDeviceRegistry.h"
#include "sim/VirtualHeadset.h"
#include "sim/testing/GatedPacer.h"
#include "tests/comport/PtyFixture.h"
#include "tests/ctl/CtlFixture.h"
#include "tools/qmr7ctl/SerialLink.h"

namespace qmr7ctl::testing {
namespace {

class SerialTest : public CtlTest {
 protected:
  void TearDown() override {
    pacer.Open();
    virtualHeadset.reset();
    CtlTest::TearDown();
  }

  void Start(const std::string& faults = {}) {
    sim::VirtualHeadset::Options options;
    std::size_t start = 0;
    while (start < faults.size()) {
      const auto comma = faults.find(',', start);
      ASSERT_EQ(sim::AddFault(faults.substr(start, comma - start), options.faults), "");
      start = comma == std::string::npos ? faults.size() : comma + 1;
    }
    options.pacer = pacer.Pacer();
    sim::HeadsetState state;
    state.settings.speedDials = {"0312", "", ""};
    virtualHeadset = std::make_unique<sim::VirtualHeadset>(state, options);
    ports.ports = {{virtualHeadset->SlavePath(), sim::kDefaultDescription}};
    connect = [this](const std::string& port) {
      return std::make_unique<SerialLink>(port, [this](std::uint32_t ms) { waits.push_back(ms); });
    };
  }

  sim::testing::GatedPacer pacer;
  std::unique_ptr<sim::VirtualHeadset> virtualHeadset;
  std::vector<std::uint32_t> waits;
};

TEST_F(SerialTest, EveryCommandOverThePort) {
  for (const char* faults : {"", "split,noise"}) {
    Start(faults);
    const std::string port = virtualHeadset->SlavePath();
    EXPECT_EQ(Ctl({"info"}), 0) << faults << err;
    EXPECT_NE(out.find("Firmware version:  V1.23"), std::string::npos) << out;
    EXPECT_EQ(Ctl({"set", "speed-dial-2=5551234", "a2dp-percentage=42"}), 0) << faults << err;
    EXPECT_EQ(virtualHeadset->State().settings.speedDials[1], "5551234");
    EXPECT_EQ(virtualHeadset->State().settings.a2dpPercentage, 42);
    const std::string file = tmp / (std::string("backup") + faults + ".json");
    EXPECT_EQ(Ctl({"backup", file}), 0) << faults << err;
    EXPECT_EQ(Ctl({"restore-defaults"}), 0) << faults << err;
    EXPECT_EQ(virtualHeadset->State().settings, sim::Settings{});
    EXPECT_EQ(Ctl({"restore", file}), 0) << faults << err;
    EXPECT_EQ(virtualHeadset->State().settings.speedDials,
              (std::array<std::string, 3>{"0312", "5551234", ""}));
    EXPECT_EQ(Ctl({"get", "--json"}), 0) << faults << err;
    EXPECT_NE(out.find("\"a2dp-percentage\": 42"), std::string::npos) << out;
    EXPECT_TRUE(waits.empty());
    pacer.Open();
    virtualHeadset.reset();
  }
}

TEST_F(SerialTest, APortThatDoesNotOpenIsTriedTwiceWithTheWindowsWait) {
  Start();
  const std::string missing = tmp / "ttyACM9";
  EXPECT_EQ(Ctl({"info", "--port", missing}), 3);
  EXPECT_EQ(err,
            "qmr7ctl: Unable to open the COM port " + missing + ": No such file or directory.\n");
  EXPECT_EQ(waits, std::vector<std::uint32_t>{1000});
  EXPECT_EQ(out, "");
}

TEST_F(SerialTest, AHeadsetThatGoesAwayMidChainEndsTheCommand) {
  Start("unplug-after=3");
  const std::string port = virtualHeadset->SlavePath();
  EXPECT_EQ(Ctl({"get"}), 3);
  EXPECT_EQ(err.rfind("qmr7ctl: The headset on " + port + " went away: ", 0), 0u) << err;
  EXPECT_EQ(out, "");
}

// A device that adds a stale answer to another command after its own: lines that came before a
// command was sent never answer it.
TEST(SerialLinkTest, LinesThatCameBeforeACommandDoNotAnswerIt) {
  comport::testing::PtyPair pty;
  SerialLink link(pty.SlaveName(), [](std::uint32_t) {});
  std::thread device([&] {
    const std::pair<const char*, const char*> answers[] = {
        {"7", "89075089\r\nOK\r\n+FPSTS1=8,999"}, {"8", "123"}, {"9", "QMR7"}, {"10", "A"}};
    for (const auto& [code, value] : answers) {
      std::string command;
      while (command.empty() || command.back() != '\r')
        command += pty.Read(1);
      EXPECT_EQ(command, std::string("AT+FPCMD1=") + code + "\r");
      pty.Write(std::string("OK\r\n+FPSTS1=") + code + "," + value + "\r\n");
    }
  });
  DeviceSession session(link, pty.SlaveName());
  const DeviceInfo info = session.Identify();
  device.join();
  EXPECT_EQ(info.firmwareVersion, 123);
  EXPECT_EQ(info.model, "QMR7");
}

}  // namespace
}  // namespace qmr7ctl::testing
