#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>

#include "sim/CommandLine.h"
#include "sim/StateFile.h"
#include "tests/support/TempDir.h"

namespace sim {
namespace {

namespace fs = std::filesystem;

class StateFileTest : public ::testing::Test {
 protected:
  testsupport::TempDir tmp_;
  const std::string dir_ = tmp_.Path();
};

TEST_F(StateFileTest, SavedStateLoadsBackAndNoTemporaryFileStays) {
  HeadsetState state;
  state.settings.speedDials = {"0312345678", "", "1234567890123456"};
  state.settings.a2dpPercentage = 1;
  state.settings.gpsPercentage = 100;
  state.settings.gpsSharing = 0;
  state.info.firmwareVersion = 205;
  state.info.modelName = "QMR7-B";
  state.info.address = "11:22:33:44:55:66";
  const std::string path = dir_ + "/nested/folder/state";

  SaveState(path, state);
  EXPECT_EQ(LoadState(path), state);
  state.settings.a2dpPercentage = 60;
  SaveState(path, state);  // replaces the old file
  EXPECT_EQ(LoadState(path), state);
  EXPECT_EQ(
      std::distance(fs::directory_iterator(dir_ + "/nested/folder"), fs::directory_iterator()), 1);
}

TEST_F(StateFileTest, AMissingFileGivesTheFactoryState) {
  EXPECT_EQ(LoadState(dir_ + "/none"), HeadsetState{});
}

TEST_F(StateFileTest, UnusableValuesFallBackOneByOne) {
  const std::string path = dir_ + "/state";
  std::ofstream(path) << "# edited by hand\n"
                         "speed_dial_1=12ab\n"
                         "speed_dial_2=555\n"
                         "speed_dial_4=1\n"
                         "a2dp_percentage=0\n"
                         "gps_percentage=35\n"
                         "gps_sharing=yes\n"
                         "firmware_version=12x\n"
                         "model_name=\n"
                         "no equals sign\n"
                         "address=AA:BB:CC:DD:EE:FF\n";
  HeadsetState expected;
  expected.settings.speedDials[1] = "555";
  expected.settings.gpsPercentage = 35;
  expected.info.address = "AA:BB:CC:DD:EE:FF";
  EXPECT_EQ(LoadState(path), expected);
}

TEST_F(StateFileTest, AFolderThatCannotBeWrittenIsReported) {
  const std::string blocker = dir_ + "/file";
  std::ofstream(blocker) << "x";
  EXPECT_THROW(SaveState(blocker + "/state", HeadsetState{}), std::runtime_error);
}

TEST(StatePathTest, DefaultPathFollowsXdgStateHomeThenHome) {
  const auto saved = [](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
  };
  const auto stateHome = saved("XDG_STATE_HOME");
  const auto home = saved("HOME");
  ::setenv("XDG_STATE_HOME", "/srv/state", 1);
  ::setenv("HOME", "/home/rider", 1);
  EXPECT_EQ(DefaultStatePath(), "/srv/state/qmr7-sim/state");
  ::unsetenv("XDG_STATE_HOME");
  EXPECT_EQ(DefaultStatePath(), "/home/rider/.local/state/qmr7-sim/state");
  ::unsetenv("HOME");
  EXPECT_EQ(fs::path(DefaultStatePath()).filename(), "state");
  for (const auto& [name, value] : {std::pair{"XDG_STATE_HOME", stateHome}, {"HOME", home}}) {
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
}

TEST(CommandLineTest, OptionsAndFaultsAreParsed) {
  CommandLine line;
  EXPECT_EQ(ParseCommandLine({"--state", "/tmp/s", "--description=USB Serial Device (Bench)",
                              "--fault", "split,slow=200", "--fault=unplug-after=5"},
                             line),
            "");
  EXPECT_EQ(line.stateFile, "/tmp/s");
  EXPECT_EQ(line.description, "USB Serial Device (Bench)");
  EXPECT_TRUE(line.faults.split);
  EXPECT_EQ(line.faults.slow, std::chrono::milliseconds(200));
  EXPECT_EQ(line.faults.unplugAfter, 5);
  EXPECT_FALSE(line.help);
  EXPECT_FALSE(line.verbose);
  CommandLine verbose;
  EXPECT_EQ(ParseCommandLine({"--verbose"}, verbose), "");
  EXPECT_TRUE(verbose.verbose);

  CommandLine none;
  EXPECT_EQ(ParseCommandLine({}, none), "");
  EXPECT_TRUE(none.stateFile.empty());
  EXPECT_EQ(none.faults, Faults{});
}

TEST(CommandLineTest, MistakesAreReported) {
  const std::vector<std::vector<std::string>> cases = {
      {"--fault"},           {"--fault", "loud"},
      {"--fault", "split,"}, {"--state"},
      {"--state="},          {"--loud"},
      {"--verbose=yes"},     {"extra"},
      {"--fault=slow=fast"}, {"--description", "a\nb"},
  };
  for (const auto& args : cases) {
    CommandLine line;
    EXPECT_NE(ParseCommandLine(args, line), "") << ::testing::PrintToString(args);
  }
  CommandLine help;
  EXPECT_EQ(ParseCommandLine({"--help"}, help), "");
  EXPECT_TRUE(help.help);
  for (const char* fault :
       {"silent", "ok-only", "wrong-identity", "split", "noise", "slow=MS", "unplug-after=N"}) {
    EXPECT_NE(UsageText().find(fault), std::string::npos) << fault;
  }
}

}  // namespace
}  // namespace sim
