// The soak: the tool's window, built as the program builds it and shown offscreen, runs the read
// chain N times against qmr7-sim running as a process, and saves a page after every tenth chain,
// each save with new values. Every chain is started as a user starts it (Close COM Port, then
// Open COM Port on the listed headset) and every answer is checked:
// - the bytes the window read from the port (through the port's AfterRead event) are exactly,
//   byte for byte, those the headset sends for the chain, as a model of the headset fed the same
//   commands gives them: an answer lost, read twice or garbled shows;
// - the values the pages and labels show are the headset's, which the saves keep changing;
// - no message but "Save successfully." after each save; nothing left in the receive buffer.
// The process's resident memory and open descriptors are sampled after the first chain, after the
// warm-up (the first 30 chains, in which every kind of save has run), in the middle and at the end.
// Targets: nothing lost or duplicated, no descriptor more at the end than after the warm-up, and
// resident memory grown by less than 1 MiB from the warm-up to the end.
//
//   qmr7-soak [--chains N] [--markdown]        (default 10,000 chains, N/10 saves)
#include <signal.h>
#include <sys/wait.h>

#include <QCoreApplication>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/DeviceCommands.h"
#include "app/DeviceProtocol.h"
#include "sim/Headset.h"
#include "tests/reliability/Reliability.h"
#include "tests/reliability/ToolWindow.h"
#include "tests/support/Spawn.h"
#include "tests/support/TempDir.h"
#include "toolkit/qt/QtApplication.h"
#include "toolkit/qt/Text.h"

namespace reliability {
namespace {

using namespace std::chrono_literals;
using toolkit::qt::Q;
using toolkit::qt::S;

constexpr auto kChainBound = 10s;  // a chain takes milliseconds; the window's own limit is 1 s
constexpr int kWarmUp = 30;
constexpr long kRssTargetKiB = 1024;
constexpr int kReadChain[] = {7, 8, 9, 10, 1, 2, 3, 4, 5};
constexpr std::size_t kMaxListedProblems = 10;

struct Sample {
  std::string when;
  int chain = 0;
  long rssKiB = 0;
  int descriptors = 0;
  int threads = 0;
};

struct Figures {
  int chains = 0;
  int saves = 0;
  long long commands = 0;
  long long bytesExpected = 0;
  long long bytesReceived = 0;
  int lost = 0;        // chains short of bytes, or ended by the time-out
  int duplicated = 0;  // chains with more bytes than the headset sent
  int wrongValues = 0;
  int unexpectedMessages = 0;
  std::vector<Sample> samples;
  std::vector<double> chainMs;
  double seconds = 0;
  std::string loadStart;
  std::string loadEnd;
  std::vector<std::string> problems;
};

class Soak {
 public:
  Soak(ToolWindow& window, Figures& figures) : w_(window), f_(figures) {}

  bool ReadChain(int index) {
    app::TMajorForm& form = w_.Form();
    if (form.PortReady) form.CloseComPortButton->click();
    std::string expected;
    for (int code : kReadChain)
      expected += Reference(app::CommandLine(code));
    const auto t0 = Clock::now();
    if (!Run(index, "read chain", expected, [&] { form.OpenComPortButton->click(); })) return false;
    f_.chainMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    CheckValues(index);
    return true;
  }

  bool SavePage(int index) {
    app::TMajorForm& form = w_.Form();
    const int kind = (index / 10) % 3;
    const int value = 1 + (index / 10) % 100;
    std::string expected;
    std::function<void()> click;
    if (kind == 0) {
      const std::string dials[3] = {std::string(static_cast<std::size_t>(index % 17), '5'),
                                    std::to_string(index), (index / 10) % 2 == 0 ? "" : "0312"};
      LabeledEditsSet(dials);
      for (int i = 0; i < 3; ++i)
        expected += Reference(app::CommandLine(app::cmd::WriteSpeedDial1 + i, dials[i]));
      click = [&] { form.SaveSpeedDialSettingButton->click(); };
    } else if (kind == 1) {
      form.A2DPAudioMixPercentageUpDown->SetPosition(value);
      expected += Reference(app::CommandLine(app::cmd::WriteA2dpPercentage, value));
      click = [&] { form.SaveA2dpAudioSettingButton->click(); };
    } else {
      const int sharing = (index / 30) % 2;
      form.GPSAudioMixPercentageUpDown->SetPosition(101 - value);
      form.GPSAudioSharingUpDown->SetPosition(sharing);
      expected += Reference(app::CommandLine(app::cmd::WriteGpsAudio, 101 - value, sharing));
      click = [&] { form.SaveGPSAudioSettingButton->click(); };
    }
    const int saved = w_.Ui().ByText().count(kSaved) ? w_.Ui().ByText().at(kSaved) : 0;
    if (!Run(index, "save", expected, click, 1)) return false;
    if (w_.Ui().LastText() != kSaved || w_.Ui().ByText().at(kSaved) != saved + 1) {
      Problem(index, "save: \"" + kSaved + "\" was not shown");
      ++f_.unexpectedMessages;
    }
    ++f_.saves;
    return true;
  }

  // Ends the run: a pause with the port open for anything late, which must not come.
  void Settle() {
    const long long before = w_.BytesReceived();
    const int boxes = w_.Ui().Boxes();
    w_.PumpFor(300ms);
    if (w_.BytesReceived() != before) {
      ++f_.duplicated;
      Problem(f_.chains, "bytes arrived after the last answer");
    }
    if (w_.Ui().Boxes() != boxes) {
      ++f_.unexpectedMessages;
      Problem(f_.chains, "a message after the last answer: " + w_.Ui().LastText());
    }
  }

  static inline const std::string kSaved = "Save successfully.";

 private:
  // The headset's answer to `command`.
  std::string Reference(const std::string& command) {
    ++f_.commands;
    return reference_.Receive(command).Bytes();
  }

  void LabeledEditsSet(const std::string (&dials)[3]) {
    app::TMajorForm& form = w_.Form();
    form.SpeedDial1LabeledEdit->setText(Q(dials[0]));
    form.SpeedDial2LabeledEdit->setText(Q(dials[1]));
    form.SpeedDial3LabeledEdit->setText(Q(dials[2]));
  }

  // Starts a chain with `start` and waits until no command is pending; checks the bytes read,
  // which must be `expected`, and that exactly `boxes` messages came.
  bool Run(int index, const std::string& what, const std::string& expected,
           const std::function<void()>& start, int boxes = 0) {
    app::TMajorForm& form = w_.Form();
    const int boxesBefore = w_.Ui().Boxes();
    std::string got;
    w_.CaptureInto(&got);
    start();
    const bool ended =
        w_.PumpUntil([&] { return form.PendingCommand == app::kIdleCommand; }, kChainBound);
    w_.CaptureInto(nullptr);
    f_.bytesExpected += static_cast<long long>(expected.size());
    f_.bytesReceived += static_cast<long long>(got.size());
    if (!ended) {
      Problem(index, what + " hangs: command " + std::to_string(form.PendingCommand) +
                         " pending after " + std::to_string(kChainBound.count()) + " s");
      return false;
    }
    if (got.size() < expected.size() || !form.PortReady) {
      ++f_.lost;
      Problem(index, what + ": " + std::to_string(got.size()) + " of " +
                         std::to_string(expected.size()) + " bytes, message \"" +
                         w_.Ui().LastText() + "\"");
    } else if (got.size() > expected.size()) {
      ++f_.duplicated;
      Problem(index, what + ": " + std::to_string(got.size()) + " bytes where the headset sent " +
                         std::to_string(expected.size()));
    } else if (got != expected) {
      ++f_.wrongValues;
      Problem(index, what + ": the bytes read are not the headset's answers");
    }
    if (w_.Ui().Boxes() - boxesBefore != boxes) {
      ++f_.unexpectedMessages;
      Problem(index, what + ": message \"" + w_.Ui().LastText() + "\"");
    }
    if (form.RxBuffer.Length() != 0) {
      ++f_.duplicated;
      Problem(index, what + ": " + std::to_string(form.RxBuffer.Length()) +
                         " bytes left unread in the receive buffer");
    }
    return form.PortReady;
  }

  void CheckValues(int index) {
    app::TMajorForm& form = w_.Form();
    const sim::HeadsetState& h = reference_.State();
    const auto& s = h.settings;
    char version[64];
    std::snprintf(version, sizeof version, "Firmware version: V%d.%02d",
                  h.info.firmwareVersion / 100, h.info.firmwareVersion % 100);
    const bool right =
        S(form.FWVerLabel->text()) == version && form.DeviceModelName == h.info.modelName &&
        form.DeviceAddress == h.info.address &&
        S(form.SpeedDial1LabeledEdit->text()) == s.speedDials[0] &&
        S(form.SpeedDial2LabeledEdit->text()) == s.speedDials[1] &&
        S(form.SpeedDial3LabeledEdit->text()) == s.speedDials[2] &&
        form.A2DPAudioMixPercentageUpDown->Position() == s.a2dpPercentage &&
        form.GPSAudioMixPercentageUpDown->Position() == s.gpsPercentage &&
        form.GPSAudioSharingUpDown->Position() == s.gpsSharing &&
        S(form.GPSAudioSharingLabeledEdit->text()) == (s.gpsSharing != 0 ? "Yes" : "No") &&
        form.LastA2dpPercentage == s.a2dpPercentage && form.LastGpsPercentage == s.gpsPercentage &&
        !form.SpeedDialChanged && !form.A2dpChanged && !form.GpsChanged;
    if (!right) {
      ++f_.wrongValues;
      Problem(index, "read chain: the window does not show the headset's values");
    }
  }

  void Problem(int index, const std::string& text) {
    if (f_.problems.size() < kMaxListedProblems) {
      f_.problems.push_back("chain " + std::to_string(index) + ": " + text);
    }
  }

  ToolWindow& w_;
  Figures& f_;
  sim::Headset reference_;
};

// Taken with the port closed and the loop run for a moment, so that what the last port used is
// released; each chain begins by closing the port anyway.
Sample Take(ToolWindow& window, const std::string& when, int chain) {
  window.Form().CloseComPortButton->click();
  window.PumpFor(50ms);
  return {when, chain, ResidentKiB(), OpenDescriptors(), Threads()};
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

bool Run(const testsupport::TempDir& root, const std::string& runtimeDir, int chains,
         const std::string& simProgram, Figures& f) {
  const platform::VirtualDeviceRegistry registry(runtimeDir + "/qmr7");
  registry.EnsureDirectory();
  const pid_t sim = testsupport::Spawn({simProgram, "--state", root / "headset"},
                                       testsupport::EnvironmentWithRuntimeDir(runtimeDir));
  const auto stopSim = [&] {
    ::kill(sim, SIGTERM);
    ::waitpid(sim, nullptr, 0);
  };
  const auto registered = [&] {
    platform::VirtualDeviceWatcher watcher(registry);
    return sim > 0 && WaitForHeadsetPort(watcher, sim, Clock::now() + 10s).has_value();
  };
  if (!registered()) {
    f.problems.push_back("qmr7-sim did not start");
    if (sim > 0) stopSim();
    return false;
  }

  bool ok = true;
  {
    ToolWindow window(registry, root / "appdata");
    app::TMajorForm& form = window.Form();
    form.show();
    // The first show's prompt to choose and open a port.
    window.PumpUntil([&] { return window.Ui().Boxes() >= 1; }, 10s);
    if (form.ComPortListBox->selectedItems().isEmpty()) {
      f.problems.push_back("the headset is not listed and chosen");
      ok = false;
    }
    Soak soak(window, f);
    f.loadStart = LoadAverage();
    const auto start = Clock::now();
    const int warmUp = std::min(kWarmUp, chains);
    for (int i = 0; ok && i < chains; ++i) {
      ok = soak.ReadChain(i);
      ++f.chains;
      if (ok && i % 10 == 9) ok = soak.SavePage(i);
      if (i == 0) f.samples.push_back(Take(window, "after the first chain", i + 1));
      if (i + 1 == warmUp) f.samples.push_back(Take(window, "after the warm-up", i + 1));
      if (i + 1 == chains / 2 && chains / 2 > warmUp) {
        f.samples.push_back(Take(window, "middle", i + 1));
      }
      if (i + 1 == chains) {
        if (ok) soak.Settle();
        f.samples.push_back(Take(window, "end", i + 1));
      }
    }
    f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    f.loadEnd = LoadAverage();
  }
  stopSim();
  return ok;
}

void Print(const Figures& f, bool markdown, bool met, long rssGrowth, int fdGrowth) {
  const double median = Percentile(f.chainMs, 0.5);
  const double p99 = Percentile(f.chainMs, 0.99);
  if (markdown) {
    std::printf(
        "| chains | saves | commands | answer bytes expected | received | lost | duplicated "
        "| wrong values | unexpected messages | chain median | chain p99 | time |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    std::printf(
        "| %d | %d | %lld | %lld | %lld | %d | %d | %d | %d | %.2f ms | %.2f ms | %.0f s |\n\n",
        f.chains, f.saves, f.commands, f.bytesExpected, f.bytesReceived, f.lost, f.duplicated,
        f.wrongValues, f.unexpectedMessages, median, p99, f.seconds);
    std::printf("| sample | after chain | resident memory | open descriptors | threads |\n");
    std::printf("|---|---:|---:|---:|---:|\n");
    for (const Sample& s : f.samples) {
      std::printf("| %s | %d | %ld KiB | %d | %d |\n", s.when.c_str(), s.chain, s.rssKiB,
                  s.descriptors, s.threads);
    }
    std::printf("\nLoad average %s at the start, %s at the end.\n", f.loadStart.c_str(),
                f.loadEnd.c_str());
    std::printf(
        "\nFrom the warm-up to the end: resident memory %+ld KiB (target under %+ld KiB), "
        "descriptors %+d (target 0). Targets %s.\n",
        rssGrowth, kRssTargetKiB, fdGrowth, met ? "met" : "MISSED");
    for (const auto& p : f.problems)
      std::printf("\n- %s", p.c_str());
    if (!f.problems.empty()) std::printf("\n");
    return;
  }
  std::printf(
      "chains %d, saves %d, commands %lld in %.1f s (chain median %.2f ms, p99 %.2f ms), "
      "load %s to %s\n",
      f.chains, f.saves, f.commands, f.seconds, median, p99, f.loadStart.c_str(),
      f.loadEnd.c_str());
  std::printf(
      "answer bytes expected %lld, received %lld; lost %d, duplicated %d, wrong values %d, "
      "unexpected messages %d\n",
      f.bytesExpected, f.bytesReceived, f.lost, f.duplicated, f.wrongValues, f.unexpectedMessages);
  for (const Sample& s : f.samples) {
    std::printf("  %-22s chain %6d  RSS %7ld KiB  descriptors %d  threads %d\n", s.when.c_str(),
                s.chain, s.rssKiB, s.descriptors, s.threads);
  }
  std::printf("warm-up to end: RSS %+ld KiB (target < %ld), descriptors %+d (target 0): %s\n",
              rssGrowth, kRssTargetKiB, fdGrowth, met ? "met" : "MISSED");
  for (const auto& p : f.problems)
    std::printf("  PROBLEM %s\n", p.c_str());
}

int Main(int argc, char** argv) {
  int chains = 10000;
  bool markdown = false;
  std::string simProgram = QMR7_SIM_PROGRAM;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--chains" && i + 1 < argc) {
      chains = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--sim" && i + 1 < argc) {
      simProgram = argv[++i];
    } else if (a == "--markdown") {
      markdown = true;
    } else {
      std::fprintf(stderr, "usage: qmr7-soak [--chains N] [--markdown]\n");
      return 2;
    }
  }
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  testsupport::TempDir root;
  const std::string runtimeDir = root / "run";
  std::filesystem::create_directories(runtimeDir);
  std::filesystem::permissions(runtimeDir, std::filesystem::perms::owner_all);
  ::setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
  toolkit::qt::QtApplication application(argc, argv);

  Figures f;
  const bool ran = Run(root, runtimeDir, chains, simProgram, f);
  const auto find = [&](const char* when) -> const Sample* {
    for (const Sample& s : f.samples)
      if (s.when == when) return &s;
    return nullptr;
  };
  const Sample* warm = find("after the warm-up");
  const Sample* end = find("end");
  const long rssGrowth = warm && end ? end->rssKiB - warm->rssKiB : 0;
  const int fdGrowth = warm && end ? end->descriptors - warm->descriptors : 0;
  const bool met = ran && warm && end && f.lost == 0 && f.duplicated == 0 && f.wrongValues == 0 &&
                   f.unexpectedMessages == 0 && fdGrowth <= 0 && rssGrowth < kRssTargetKiB;
  Print(f, markdown, met, rssGrowth, fdGrowth);
  return met ? 0 : 1;
}

}  // namespace
}  // namespace reliability

int main(int argc, char** argv) {
  return reliability::Main(argc, argv);
}
