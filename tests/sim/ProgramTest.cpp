// qmr7-sim as a user runs it: a separate process, its port found through the registry.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "platform/VirtualDeviceRegistry.h"
#include "sim/StateFile.h"
#include "sim/VirtualHeadset.h"
#include "tests/sim/PtyHarness.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace sim {
namespace {

namespace fs = std::filesystem;
using testing::kSafetyTimeoutMs;
using testing::ToolPort;

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root_ + "/runtime");
    fs::create_directories(root_ + "/home");
  }

  void TearDown() override {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }

  // Starts qmr7-sim with its own runtime and home folders, output to a pipe.
  void Spawn(const std::vector<std::string>& args) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      if (entry.rfind("XDG_RUNTIME_DIR=", 0) != 0 && entry.rfind("XDG_STATE_HOME=", 0) != 0 &&
          entry.rfind("HOME=", 0) != 0) {
        env.push_back(entry);
      }
    }
    env.push_back("XDG_RUNTIME_DIR=" + root_ + "/runtime");
    env.push_back("HOME=" + root_ + "/home");
    std::vector<std::string> argv = {QMR7_SIM_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());

    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    ASSERT_EQ(::posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, Pointers(argv).data(),
                            Pointers(env).data()),
              0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    out_ = fds[0];
  }

  // Output up to a line matching `pattern`; the first group of the match, nullopt at its end.
  std::optional<std::string> WaitForOutput(const std::string& pattern) {
    const std::regex re(pattern);
    for (;;) {
      const auto lf = output_.find('\n', scanned_);
      if (lf != std::string::npos) {
        const std::string line = output_.substr(scanned_, lf - scanned_);
        scanned_ = lf + 1;
        std::smatch match;
        if (std::regex_search(line, match, re)) return match.size() > 1 ? match[1].str() : "";
        continue;
      }
      pollfd p{out_, POLLIN, 0};
      char chunk[512];
      ssize_t n = 0;
      if (::poll(&p, 1, kSafetyTimeoutMs) != 1 || (n = ::read(out_, chunk, sizeof chunk)) <= 0) {
        ADD_FAILURE() << "no line matching " << pattern << " in:\n" << output_;
        return std::nullopt;
      }
      output_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  // The exit status; -1 when it did not exit normally.
  int WaitForExit() {
    int status = 0;
    EXPECT_EQ(::waitpid(pid_, &status, 0), pid_);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string AllOutput() {
    char chunk[512];
    ssize_t n;
    while ((n = ::read(out_, chunk, sizeof chunk)) > 0) {
      output_.append(chunk, static_cast<std::size_t>(n));
    }
    return output_;
  }

  platform::VirtualDeviceRegistry Registry() const {
    return platform::VirtualDeviceRegistry(root_ + "/runtime/qmr7");
  }

  static std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (auto& s : strings)
      pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
  }

  testsupport::TempDir tmp_;
  const std::string root_ = tmp_.Path();
  pid_t pid_ = -1;
  int out_ = -1;
  std::string output_;
  std::size_t scanned_ = 0;
};

TEST_F(ProgramTest, WithoutArgumentsItRegistersAnswersKeepsSettingsAndCleansUpOnSigterm) {
  Spawn({});
  const auto path = WaitForOutput("headset on (/dev/pts/[0-9]+)");
  ASSERT_TRUE(path);
  const auto devices = Registry().List(platform::kSerialKind);
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].path, *path);
  EXPECT_EQ(devices[0].description, "USB Serial Device (QM-R7 virtual headset)");
  EXPECT_EQ(devices[0].pid, pid_);

  ToolPort tool(*path);
  EXPECT_EQ(tool.Transact("AT+FPCMD1=7"), "OK\r\n+FPSTS1=7,89075089\r\n");
  EXPECT_EQ(tool.Transact("AT+FPCMD1=24,77"), "OK\r\n+FPSTS1=24,77\r\n");

  ::kill(pid_, SIGTERM);
  EXPECT_EQ(WaitForExit(), 0) << AllOutput();
  EXPECT_TRUE(tool.WaitForHangup());
  EXPECT_TRUE(Registry().List().empty());
  EXPECT_TRUE(fs::is_empty(Registry().Directory()));
  const std::string stateFile = root_ + "/home/.local/state/qmr7-sim/state";
  EXPECT_EQ(LoadState(stateFile).settings.a2dpPercentage, 77);
}

TEST_F(ProgramTest, OptionsSetTheStateFileDescriptionAndFaults) {
  const std::string stateFile = root_ + "/elsewhere/state";
  HeadsetState saved;
  saved.settings.speedDials[0] = "0312";
  SaveState(stateFile, saved);
  Spawn({"--state", stateFile, "--description", "USB Serial Device (Bench)", "--fault",
         "wrong-identity"});
  const auto path = WaitForOutput("headset on (/dev/pts/[0-9]+)");
  ASSERT_TRUE(path);
  const auto devices = Registry().List();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].description, "USB Serial Device (Bench)");

  ToolPort tool(*path);
  EXPECT_EQ(tool.Transact("AT+FPCMD1=7"), "OK\r\n+FPSTS1=7,89075088\r\n");
  EXPECT_EQ(tool.Transact("AT+FPCMD1=1"), "OK\r\n+FPSTS1=1,0312\r\n");
  ::kill(pid_, SIGINT);
  EXPECT_EQ(WaitForExit(), 0) << AllOutput();
  EXPECT_TRUE(Registry().List().empty());
}

TEST_F(ProgramTest, UnpluggedItEndsByItself) {
  Spawn({"--fault=unplug-after=1"});
  const auto path = WaitForOutput("headset on (/dev/pts/[0-9]+)");
  ASSERT_TRUE(path);
  ToolPort tool(*path);
  EXPECT_EQ(tool.Transact("AT+FPCMD1=7"), "OK\r\n+FPSTS1=7,89075089\r\n");
  EXPECT_TRUE(tool.WaitForHangup());
  EXPECT_EQ(WaitForExit(), 0) << AllOutput();
  EXPECT_TRUE(Registry().List().empty());
}

TEST_F(ProgramTest, HelpAndMistakes) {
  Spawn({"--help"});
  EXPECT_EQ(WaitForExit(), 0);
  const std::string help = AllOutput();
  EXPECT_NE(help.find("--fault"), std::string::npos) << help;
  EXPECT_NE(help.find("unplug-after=N"), std::string::npos) << help;
  ::close(out_);
  out_ = -1;
  output_.clear();

  Spawn({"--fault", "loud"});
  EXPECT_EQ(WaitForExit(), 2);
  EXPECT_NE(AllOutput().find("unknown fault 'loud'"), std::string::npos) << output_;
  EXPECT_FALSE(fs::exists(Registry().Directory()) && !fs::is_empty(Registry().Directory()));
}

}  // namespace
}  // namespace sim
