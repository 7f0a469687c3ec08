// qmr7-sim: the virtual QM-R7 headset as a program, for the demo and for trying the tool by hand.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "platform/VirtualDeviceRegistry.h"
#include "resources/Version.h"
#include "sim/CommandLine.h"
#include "sim/DfuSide.h"
#include "sim/StateFile.h"
#include "sim/VirtualHeadset.h"

namespace {

void Say(const std::string& text) {
  std::printf("qmr7-sim: %s\n", text.c_str());
  std::fflush(stdout);
}

int Run(const sim::CommandLine& commandLine) {
  // Signals are taken through a descriptor; blocked before any thread starts, so that every
  // thread inherits the mask and none of them is interrupted by Ctrl+C.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  const int signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC);
  const int unpluggedFd = ::eventfd(0, EFD_CLOEXEC);
  if (signalFd < 0 || unpluggedFd < 0) {
    std::perror("qmr7-sim");
    return 1;
  }

  const platform::VirtualDeviceRegistry registry;
  sim::VirtualHeadset::Options options;
  options.faults = commandLine.faults;
  options.description =
      commandLine.description.empty() ? sim::kDefaultDescription : commandLine.description;
  options.registry = &registry;
  options.stateFile =
      commandLine.stateFile.empty() ? sim::DefaultStatePath() : commandLine.stateFile;
  options.onError = [](const std::string& error) { Say(error); };
  options.onPresence = [&](sim::Presence presence, const std::string& path) {
    switch (presence) {
      case sim::Presence::Attached:
        Say("headset on " + path + " as \"" + options.description + "\"");
        break;
      case sim::Presence::Away:
        Say("upgrade requested: the serial port is gone");
        break;
      case sim::Presence::Unplugged: {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(unpluggedFd, &one, sizeof one);
        break;
      }
    }
  };

  options.onToolPort = [](bool opened) { Say(opened ? "port opened" : "port closed"); };
  if (commandLine.verbose) {
    // Device text: only its printable part reaches the terminal.
    options.onHeard = [](const std::string& line) {
      std::string shown;
      for (const char c : line)
        shown += (c >= 0x20 && c != 0x7f) ? c : '?';
      Say("heard " + shown);
    };
  }

  const sim::HeadsetState state = sim::LoadState(options.stateFile);
  sim::Firmware firmware = sim::DefaultFirmware(state.info.firmwareVersion);
  sim::DfuSideOptions dfu;
  dfu.config = commandLine.dfuConfig;
  dfu.faults = commandLine.dfuFaults;
  dfu.registry = &registry;
  dfu.onEvent = [](const std::string& text) { Say(text); };
  options.upgradeMode = [&](const sim::UpgradeContext& context) {
    if (firmware.version != context.firmwareVersion) {
      firmware = sim::DefaultFirmware(context.firmwareVersion);
    }
    try {
      sim::RunDfuSide(context, firmware, dfu);
    } catch (const std::exception& e) {
      Say(std::string("no USB side: ") + e.what());
    }
  };

  Say("settings in " + options.stateFile);
  Say("registry in " + registry.Directory());
  sim::VirtualHeadset headset(state, options);

  pollfd fds[2] = {{signalFd, POLLIN, 0}, {unpluggedFd, POLLIN, 0}};
  while (::poll(fds, 2, -1) < 0) {
  }
  if ((fds[1].revents & POLLIN) != 0) {
    Say("unplugged");
  } else {
    signalfd_siginfo info{};
    [[maybe_unused]] const ssize_t n = ::read(signalFd, &info, sizeof info);
    const char* name = info.ssi_signo == SIGINT   ? "SIGINT"
                       : info.ssi_signo == SIGHUP ? "SIGHUP"
                                                  : "SIGTERM";
    Say(std::string("stopping on ") + name);
  }
  headset.Stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  sim::CommandLine commandLine;
  const std::string error = sim::ParseCommandLine({argv + 1, argv + argc}, commandLine);
  if (!error.empty()) {
    std::fprintf(stderr, "qmr7-sim: %s\nTry 'qmr7-sim --help'.\n", error.c_str());
    return 2;
  }
  if (commandLine.version) {
    std::printf("qmr7-sim %s\n", resources::kFileVersion);
    return 0;
  }
  if (commandLine.help) {
    std::fputs(sim::UsageText().c_str(), stdout);
    return 0;
  }
  try {
    return Run(commandLine);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qmr7-sim: %s\n", e.what());
    return 1;
  }
}
