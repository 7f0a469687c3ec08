// qmr7ctl run in-process: its command line through Run, its output captured, the ports it sees
// fixed, and the headset it reaches chosen by the test (the model in virtual time by default).
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/PortEnumerator.h"
#include "sim/Headset.h"
#include "tests/ctl/HeadsetLink.h"
#include "tests/support/TempDir.h"
#include "tools/qmr7ctl/Commands.h"
#include "tools/qmr7ctl/Texts.h"

namespace qmr7ctl::testing {

inline constexpr char kHeadsetPort[] = "/dev/ttyACM0";
inline constexpr char kHeadsetDescription[] = "USB Serial Device (QM-R7)";

class CtlTest : public ::testing::Test {
 protected:
  void SetUp() override { qmr7ctl::SetLanguage(resources::Language::English); }
  void TearDown() override { qmr7ctl::SetLanguage(resources::Language::English); }

  // Runs qmr7ctl with these arguments; `out` and `err` hold what it printed.
  int Ctl(const std::vector<std::string>& args) {
    std::ostringstream o, e;
    Environment env{o, e, ports, [this](const std::string& port) {
                      ++connects;
                      lastPort = port;
                      return connect(port);
                    }};
    env.upgrade = upgrade;
    env.doctor = doctor;
    const int code = qmr7ctl::Run(args, env);
    out = o.str();
    err = e.str();
    return code;
  }

  sim::Headset headset{sim::HeadsetState{}};
  platform::FixedPortEnumerator ports{{{kHeadsetPort, kHeadsetDescription}}};
  std::function<std::unique_ptr<DeviceLink>(const std::string&)> connect =
      [this](const std::string&) { return std::make_unique<HeadsetLink>(headset, &commands); };
  // The upgrade's waits and USB side; none: upgrade is refused.
  UpgradeSystem* upgrade = nullptr;
  // The doctor's checks; none: doctor is refused.
  std::function<std::vector<doctor::Finding>(std::span<const dfu::DeviceIds>)> doctor;
  // Every command sent to the headset model, across runs.
  std::vector<std::string> commands;
  int connects = 0;
  std::string lastPort;
  std::string out;
  std::string err;
  testsupport::TempDir tmp;
};

}  // namespace qmr7ctl::testing
