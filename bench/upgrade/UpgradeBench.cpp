// The whole upgrade as the user waits for it: wall time from the device's confirmation of command
// 20 to the reopened port showing the new version, beside the minimum the design and the device
// mandate. The window runs as the program runs it (Qt event loop, real clock and timers, the
// device-change notifier on the virtual-device registry); the headset is the virtual one on a pty,
// its USB side the simulated DFU device with a fixed bwPollTimeout and a modelled cost per
// transfer. Message boxes are answered at once.
//
// The minimum: the one-second start; the device's poll time-outs and its transfers; the 100 ms
// result poll (from each operation's end report to the poll that takes it); the device's return
// to its serial port after the upgrade. Everything else (detection, binding, hand-overs, the
// reconnect, the two commands that read the version) is overhead. Target: wall <= 1.05 x minimum.
//
// Usage: qmr7-bench-upgrade [--runs N] [--size BYTES] [--poll-ms N] [--cost-us N]
#include <QCoreApplication>
#include <QEventLoop>
#include <QTemporaryDir>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

#include "app/Mainform.h"
#include "platform/Folders.h"
#include "platform/IniFile.h"
#include "platform/PollingDeviceNotifier.h"
#include "platform/UdevPortEnumerator.h"
#include "resources/TextCatalog.h"
#include "sim/VirtualHeadset.h"
#include "toolkit/qt/QtApplication.h"
#include "toolkit/qt/QtClock.h"
#include "toolkit/qt/QtDispatcher.h"
#include "toolkit/qt/Text.h"
#include "upgrade/DfuEngineCore.h"
#include "upgrade/testing/SimulatedTransport.h"

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::duration<double, std::milli>;

struct Options {
  int runs = 5;
  std::size_t size = 256 * 1024;
  unsigned pollMs = 10;
  unsigned costUs = 250;
  unsigned transferSize = 4096;
};

void Spend(std::chrono::microseconds cost) {
  const auto until = Clock::now() + cost;
  while (Clock::now() < until) {
  }
}

// Time stamps of one run, from whichever thread sees the moment.
struct Marks {
  std::mutex mutex;
  Clock::time_point confirmed, started, shown;
  std::vector<Clock::time_point> ends;   // each operation's end report
  std::vector<Clock::time_point> taken;  // the poll that took it
  Clock::time_point portBack;
  void Stamp(Clock::time_point& at) {
    std::lock_guard lock(mutex);
    at = Clock::now();
  }
  void Add(std::vector<Clock::time_point>& to) {
    std::lock_guard lock(mutex);
    to.push_back(Clock::now());
  }
};

Marks* gMarks = nullptr;
DFUEngineCallback gWindowCallback = nullptr;
std::mutex gReturnMutex;
std::condition_variable gReturn;
bool gMayReturn = false;

void DFUENGINE_CALL Trampoline(std::uint32_t kind, const DFUEngineReport* report) {
  if (kind == DFUENGINE_REPORT_RESULT) {
    gMarks->Add(gMarks->ends);
    // The manifest's end: the device runs the new firmware; it goes back to its serial side.
    if (gMarks->ends.size() == 3) {
      std::lock_guard lock(gReturnMutex);
      gMayReturn = true;
      gReturn.notify_all();
    }
  }
  gWindowCallback(kind, report);
}

class BenchEngine final : public app::UpgradeEngine {
 public:
  explicit BenchEngine(std::shared_ptr<dfu::testing::SimulatedTransport> transport)
      : transport_(std::move(transport)) {}
  DFUEngineHandle Create() override {
    dfu::EngineEnvironment env;
    env.transports = {transport_};
    env.waiter = dfu::MakeRealWaiter();
    return dfu::RegisterEngine(std::make_unique<dfu::Engine>(std::move(env)));
  }
  void SetCallback(DFUEngineHandle handle, DFUEngineCallback callback) override {
    gWindowCallback = callback;
    UpgradeEngine::SetCallback(handle, &Trampoline);
  }
  bool StartReconfigure(DFUEngineHandle handle, std::uint32_t upload, std::uint32_t checkFile,
                        const std::string& path) override {
    gMarks->Stamp(gMarks->started);
    return UpgradeEngine::StartReconfigure(handle, upload, checkFile, path);
  }
  bool StartDownload(DFUEngineHandle handle, const std::string& path) override {
    gMarks->Add(gMarks->taken);
    return UpgradeEngine::StartDownload(handle, path);
  }
  bool StartManifest(DFUEngineHandle handle) override {
    gMarks->Add(gMarks->taken);
    return UpgradeEngine::StartManifest(handle);
  }

 private:
  std::shared_ptr<dfu::testing::SimulatedTransport> transport_;
};

// Answers every box at once; the confirmation of command 20 is the first wait cursor once armed.
class BenchUi final : public toolkit::UiServices {
 public:
  int ShowMessageBox(const std::string& text, const std::string&, unsigned) override {
    if (text == resources::LoadText(resources::kTextUpgradeComplete)) gMarks->Add(gMarks->taken);
    boxes.push_back(text);
    return toolkit::mb::kIdOk;
  }
  std::optional<std::string> OpenFileDialog(const toolkit::FileDialogRequest&) override {
    return std::nullopt;
  }
  toolkit::Cursor CurrentCursor() override { return cursor_; }
  void SetCursor(toolkit::Cursor cursor) override {
    if (armed && cursor == toolkit::Cursor::Wait) {
      armed = false;
      gMarks->Stamp(gMarks->confirmed);
    }
    cursor_ = cursor;
  }
  toolkit::KeyboardState KeyboardSnapshot() override { return {}; }

  bool armed = false;
  std::vector<std::string> boxes;

 private:
  toolkit::Cursor cursor_ = toolkit::Cursor::Default;
};

std::string WriteFirmware(const std::string& path, std::size_t size) {
  dfu::ImageHeader header;
  header.firmwareVersion = 124;
  header.description = "FARPOINT QM-R7 firmware";
  header.firmwareName = "QMR7_124.xpv";
  header.psrName = "QMR7_124.psr";
  std::vector<std::uint8_t> body(size - std::min(size, header.Size()));
  for (std::size_t i = 0; i < body.size(); ++i)
    body[i] = static_cast<std::uint8_t>(i * 31);
  const auto bytes = dfu::BuildFile(header, body, dfu::Suffix());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return path;
}

bool RunUntil(const std::function<bool()>& done, std::chrono::seconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
  }
  return true;
}

struct Figures {
  double wall = 0, minimum = 0, start = 0, device = 0, poll = 0, back = 0;
  double engine = 0;  // the engine's operations beyond what the device asked for
};

std::optional<Figures> RunOnce(const Options& o) {
  Marks marks;
  gMarks = &marks;
  gMayReturn = false;
  QTemporaryDir root;
  const std::string dir = root.path().toStdString();
  const platform::VirtualDeviceRegistry registry(dir + "/registry");
  registry.EnsureDirectory();
  const std::string appData = dir + "/appdata";
  platform::CreateFolder(appData);
  platform::CreateFolder(appData + "/FPBFU");
  platform::IniFile(appData + "/FPBFU/qmr7-tool.INI")
      .WriteString("Setting", "DFU_FileName", WriteFirmware(dir + "/QMR7_124.dfu", o.size));

  sim::DfuDeviceConfig config;
  config.pollTimeoutMs = o.pollMs;
  config.transferSize = static_cast<std::uint16_t>(o.transferSize);
  auto transport = std::make_shared<dfu::testing::SimulatedTransport>(sim::DfuDevice({}, config));
  transport->SetAttached(false);
  std::atomic<std::size_t> transfers{0};
  transport->SetTransferHook([&] {
    ++transfers;
    Spend(std::chrono::microseconds(o.costUs));
  });

  sim::VirtualHeadset::Options options;
  options.registry = &registry;
  options.upgradeMode = [&](const sim::UpgradeContext& context) {
    transport->SetAttached(true);
    std::unique_lock lock(gReturnMutex);
    gReturn.wait(lock, [] { return gMayReturn; });
    transport->SetAttached(false);
    if (transport->Device().Upgraded())
      context.setFirmwareVersion(transport->Device().Running().version);
  };
  bool away = false;
  options.onPresence = [&](sim::Presence presence, const std::string&) {
    if (presence == sim::Presence::Away) away = true;
    if (presence == sim::Presence::Attached && away) marks.Stamp(marks.portBack);
  };
  sim::VirtualHeadset headset(sim::HeadsetState{}, options);

  toolkit::qt::QtClock clock;
  toolkit::qt::QtDispatcher dispatcher;
  platform::SystemPortEnumerator ports(registry);
  platform::PollingDeviceNotifier notifier(dispatcher, [&registry] {
    std::vector<std::unique_ptr<platform::EventSource>> sources;
    if (auto virtuals = platform::MakeRegistryEventSource(registry)) {
      sources.push_back(std::move(virtuals));
    }
    return sources;
  });
  BenchUi ui;
  BenchEngine engine(transport);
  std::optional<Figures> figures;
  {
    app::TMajorForm form({clock,
                          ui,
                          dispatcher,
                          ports,
                          notifier,
                          "qmr7-tool",
                          appData,
                          &engine,
                          [] { return std::string(); },
                          {}});
    form.OpenComPortButton->click();
    if (!RunUntil([&] { return form.PendingCommand == app::kIdleCommand; },
                  std::chrono::seconds(10)) ||
        !form.PortReady) {
      std::fprintf(stderr, "the headset did not answer\n");
      return std::nullopt;
    }
    ui.armed = true;
    form.StartDFUUpgradeButton->click();
    const std::string wanted = "Firmware version: V1.24";
    const bool done = RunUntil([&] { return toolkit::qt::S(form.FWVerLabel->text()) == wanted; },
                               std::chrono::seconds(60));
    marks.Stamp(marks.shown);
    if (!done || marks.ends.size() != 3 || marks.taken.size() != 3) {
      std::fprintf(stderr, "the upgrade did not complete (%zu boxes)\n", ui.boxes.size());
      for (const auto& box : ui.boxes)
        std::fprintf(stderr, "  %s\n", box.c_str());
      return std::nullopt;
    }
    Figures f;
    f.wall = Ms(marks.shown - marks.confirmed).count();
    f.start = 1000;
    // Blocks each ask for one poll time-out, and manifestation once more.
    const std::size_t blocks = (o.size + o.transferSize - 1) / o.transferSize;
    f.device = double((blocks + 1) * o.pollMs) + double(transfers) * o.costUs / 1000.0;
    for (std::size_t i = 0; i < 3; ++i)
      f.poll += Ms(marks.taken[i] - marks.ends[i]).count();
    f.back = Ms(marks.portBack - marks.ends[2]).count();
    f.minimum = f.start + f.device + f.poll + f.back;
    f.engine = Ms(marks.ends[0] - marks.started).count() +
               Ms(marks.ends[1] - marks.taken[0]).count() +
               Ms(marks.ends[2] - marks.taken[1]).count() - f.device;
    figures = f;
    form.close();
  }
  {
    std::lock_guard lock(gReturnMutex);
    gMayReturn = true;
  }
  gReturn.notify_all();
  dispatcher.Shutdown();
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const unsigned long value = std::strtoul(argv[i + 1], nullptr, 0);
    if (key == "--runs")
      o.runs = static_cast<int>(value);
    else if (key == "--size")
      o.size = value;
    else if (key == "--poll-ms")
      o.pollMs = static_cast<unsigned>(value);
    else if (key == "--cost-us")
      o.costUs = static_cast<unsigned>(value);
    else {
      std::fprintf(stderr,
                   "usage: qmr7-bench-upgrade [--runs N] [--size BYTES] [--poll-ms N] "
                   "[--cost-us N]\n");
      return 2;
    }
  }
  toolkit::qt::QtApplication application(argc, argv);
  resources::SetLanguage(resources::Language::English);
  std::printf("upgrade of %zu bytes, blocks of %u, bwPollTimeout %u ms, %u us per transfer\n",
              o.size, o.transferSize, o.pollMs, o.costUs);
  // "engine": what the engine's operations took beyond the device's own waits and transfers (the
  // DFU benchmark's subject); "window ratio" leaves it out, so it measures the window alone.
  std::printf("%4s %9s %9s | %7s %7s %7s %7s | %7s | %6s %12s\n", "run", "wall ms", "minimum",
              "start", "device", "poll", "back", "engine", "ratio", "window ratio");
  int failures = 0;
  for (int run = 1; run <= o.runs; ++run) {
    const auto f = RunOnce(o);
    if (!f) {
      ++failures;
      continue;
    }
    std::printf("%4d %9.1f %9.1f | %7.1f %7.1f %7.1f %7.1f | %7.1f | %6.3f %12.3f\n", run, f->wall,
                f->minimum, f->start, f->device, f->poll, f->back, f->engine, f->wall / f->minimum,
                (f->wall - f->engine) / f->minimum);
  }
  return failures == 0 ? 0 : 1;
}
