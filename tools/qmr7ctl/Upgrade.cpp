#include "tools/qmr7ctl/Upgrade.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <mutex>
#include <thread>

#include "resources/TextIds.h"
#include "tools/qmr7ctl/Texts.h"
#include "tools/qmr7ctl/UsbDriver.h"
#include "upgrade/DfuNames.h"

namespace qmr7ctl {
namespace {

// The engine's callback takes no context: one run at a time per process keeps its reports here.
struct Reports {
  std::mutex mutex;
  int percent = -1;
  std::uint32_t progressOperation = 0;
  bool arrived = false;
  bool replug = false;  // asked for in the running operation
  std::uint32_t result = 0;
  std::uint32_t operation = 0;
  std::uint32_t subOperation = 0;
};

Reports& TheReports() {
  static Reports reports;
  return reports;
}

void DFUENGINE_CALL OnReport(std::uint32_t kind, const DFUEngineReport* report) {
  if (report == nullptr) return;
  Reports& r = TheReports();
  std::lock_guard lock(r.mutex);
  if (kind == DFUENGINE_REPORT_PROGRESS) {
    r.percent = static_cast<int>(std::min<std::uint32_t>(report->percent, 100));
    r.progressOperation = report->operation;
  } else if (kind == DFUENGINE_REPORT_REPLUG) {
    r.replug = true;
  } else if (kind == DFUENGINE_REPORT_RESULT) {
    r.result = report->result;
    r.operation = report->operation;
    r.subOperation = report->subOperation;
    r.arrived = true;
  }
}

// The catalogue's %s fields, in order.
std::string FillFields(const std::string& pattern, std::initializer_list<std::string> values) {
  std::string out;
  auto value = values.begin();
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern.compare(i, 2, "%s") == 0 && value != values.end()) {
      out += *value++;
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

std::string PhaseText(Stage stage) {
  switch (stage) {
    case Stage::Reconfigure:
      return Catalog(resources::kTextReconfiguring);
    case Stage::Download:
      return Catalog(resources::kTextDownloading);
    case Stage::Manifest:
      return Catalog(resources::kTextVerifying);
    default:
      return {};
  }
}

}  // namespace

UpgradeSystem UpgradeSystem::Real(std::function<void()> catchInterrupts,
                                  std::function<int()> interrupts, bool terminal) {
  UpgradeSystem system;
  system.now = [] { return Clock::now(); };
  system.sleep = [](std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); };
  system.walkUsb = [] { return usbenum::WalkSystemUsb(); };
  system.createEngine = [] { return DFUEngine_Create(); };
  system.checkDriver = [] { return usbenum::CheckSystemHeadsetDriver(); };
  system.catchInterrupts = std::move(catchInterrupts);
  system.interrupts = std::move(interrupts);
  system.terminal = terminal;
  return system;
}

InterruptResponse RespondToInterrupt(Stage stage, int presses) {
  using Kind = InterruptResponse::Kind;
  if (presses <= 0) return {};
  if (stage == Stage::Reconnecting) {
    return {Kind::Stop, Get(Text::InterruptReconnect), Exit::NoDevice};
  }
  if (presses == 1) return {Kind::Warn, Get(Text::InterruptWarning), Exit::Ok};
  return {Kind::Stop, Get(Text::InterruptStopped), Exit::UpgradeFailed};
}

std::string MinutesSeconds(std::chrono::seconds s) {
  const long long total = std::max<long long>(0, s.count());
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
  return text;
}

std::string ProgressBarLine(Stage stage, int percent, std::chrono::seconds elapsed,
                            std::optional<std::chrono::seconds> left, int width) {
  percent = std::clamp(percent, 0, 100);
  const int filled = width * percent / 100;
  std::string line = PhaseText(stage) + " [" + std::string(static_cast<std::size_t>(filled), '#') +
                     std::string(static_cast<std::size_t>(width - filled), '.') + "] ";
  char number[8];
  std::snprintf(number, sizeof number, "%3d%%", percent);
  line += number;
  line += "  " + Catalog(resources::kTextElapsed) + ": " + MinutesSeconds(elapsed);
  if (left) line += "  " + Get(Text::TimeLeft) + ": " + MinutesSeconds(*left);
  return line;
}

std::string UsbIdentity(const usbenum::UsbDetection& found) {
  if (!found.configText.empty()) return found.configText;
  char ids[16];
  std::snprintf(ids, sizeof ids, "%04x:%04x", found.idVendor, found.idProduct);
  return ids;
}

std::string StoppedText(Stage stage, int percent) {
  switch (stage) {
    case Stage::Detecting:
    case Stage::Reconfigure:
      return Get(Text::StoppedBeforeWrite);
    case Stage::Download:
      return Format(Text::StoppedInDownload, {std::to_string(std::clamp(percent, 0, 100))});
    case Stage::Manifest:
      return Get(Text::StoppedAfterWrite);
    case Stage::Reconnecting:
      break;
  }
  return Get(Text::InterruptReconnect);
}

void InterruptWatch::Check(Stage stage, int percent) {
  if (!system_.interrupts) return;
  const int total = system_.interrupts();
  // Presses before the firmware was in place were answered then; they do not end the wait.
  if (stage == Stage::Reconnecting && !reconnecting_) {
    reconnecting_ = true;
    answered_ = total;
  }
  const InterruptResponse response = RespondToInterrupt(stage, total - answered_);
  if (response.kind == InterruptResponse::Kind::Warn && warned_ == 0) {
    warned_ = 1;
    err_ << "\n" << response.message << "\n";
  } else if (response.kind == InterruptResponse::Kind::Stop) {
    // Said as it is: how far the run got decides what stopping left.
    throw Failure(response.exit,
                  stage == Stage::Reconnecting ? response.message : StoppedText(stage, percent));
  }
}

std::optional<usbenum::UsbDetection> FindOnUsb(UpgradeSystem& system, InterruptWatch& watch,
                                               std::span<const dfu::DeviceIds> extraIds) {
  const Clock::time_point start = system.now();
  for (;;) {
    watch.Check(Stage::Detecting);
    usbenum::UsbDetection found = usbenum::WithHeadsetLoader(system.walkUsb(), extraIds);
    if (found.Found() && !found.deviceName.empty()) return found;
    if (system.now() - start >= kDetectionLimit) return std::nullopt;
    system.sleep(kPollStep);
  }
}

EngineRun::EngineRun(UpgradeSystem& system, InterruptWatch& watch, std::ostream& err)
    : system_(system), watch_(watch), err_(err) {}

EngineRun::~EngineRun() {
  // Ends a running operation; no report comes after it.
  if (handle_ != 0) DFUEngine_Destroy(handle_);
}

void EngineRun::Run(const std::string& deviceName, const std::string& path,
                    std::span<const dfu::DeviceIds> extraIds) {
  handle_ = system_.createEngine();
  if (handle_ == 0) throw Failure(Exit::UpgradeFailed, Catalog(resources::kTextUpgradeStartFailed));
  DFUEngine_SetCallback(handle_, &OnReport);
  for (const dfu::DeviceIds& ids : extraIds) {
    DFUEngine_AddDeviceIds(handle_, static_cast<std::uint32_t>(ids.vendor) << 16 | ids.product,
                           static_cast<std::uint32_t>(ids.dfuVendor) << 16 | ids.dfuProduct);
  }
  // The engine may send requests only to the device the walk found.
  DFUEngine_SetUSBDeviceFilter(handle_, deviceName.c_str());
  char names[DFUENGINE_NAMES_SIZE] = {};
  const bool listed = DFUEngine_GetUSBDeviceNames(handle_, names) != 0;
  if (!listed) ThrowIfWithoutWinUsb(system_.checkDriver);
  if (!listed || DFUEngine_CreateUSB(handle_, names) == 0) {
    throw Failure(Exit::UpgradeFailed, Catalog(resources::kTextUpgradeStartFailed));
  }
  started_ = system_.now();
  Operation(Stage::Reconfigure,
            [&] { return DFUEngine_StartReconfigure(handle_, 0, 1, path.c_str()) != 0; });
  Operation(Stage::Download, [&] { return DFUEngine_StartDownload(handle_, path.c_str()) != 0; });
  Operation(Stage::Manifest, [&] { return DFUEngine_StartManifest(handle_) != 0; });
}

void EngineRun::Operation(Stage stage, const std::function<bool()>& start) {
  Reports& reports = TheReports();
  {
    std::lock_guard lock(reports.mutex);
    reports.percent = -1;
    reports.arrived = false;
    reports.replug = false;
    reports.result = reports.operation = reports.subOperation = 0;
  }
  const Clock::time_point phaseStart = system_.now();
  if (!system_.terminal) err_ << PhaseText(stage) << "\n";
  if (!start()) throw Failure(Exit::UpgradeFailed, Catalog(resources::kTextUpgradeStartFailed));
  bool replugAsked = false;
  for (;;) {
    int percent = 0;
    bool arrived = false, replug = false;
    std::uint32_t result = 0, operation = 0, subOperation = 0;
    {
      std::lock_guard lock(reports.mutex);
      percent = std::max(reports.percent, 0);
      arrived = reports.arrived;
      replug = reports.replug;
      result = reports.result;
      operation = reports.operation;
      subOperation = reports.subOperation;
    }
    watch_.Check(stage, percent);
    if (replug && !replugAsked) {
      replugAsked = true;
      err_ << (system_.terminal ? "\n" : "") << Get(Text::ReplugHeadset) << "\n";
    }
    if (arrived && result == dfu::result::kFailUsbNone && replugAsked) {
      // The user was asked to replug, and the headset never came back.
      if (system_.terminal) err_ << "\n";
      throw Failure(Exit::UpgradeFailed, Get(stage == Stage::Manifest ? Text::NotBackAfterWrite
                                                                      : Text::NotBackBeforeWrite));
    }
    if (arrived && result != 0) {
      if (system_.terminal) err_ << "\n";
      throw Failure(Exit::UpgradeFailed,
                    FillFields(Catalog(resources::kTextUpgradeFailedDetail),
                               {dfu::ResultName(result), dfu::OperationName(operation),
                                dfu::SubOperationName(subOperation)}));
    }
    if (arrived) percent = 100;
    if (system_.terminal) {
      const auto now = system_.now();
      const auto total = std::chrono::duration_cast<std::chrono::seconds>(now - started_);
      const auto inPhase = std::chrono::duration_cast<std::chrono::seconds>(now - phaseStart);
      std::optional<std::chrono::seconds> left;
      if (percent > 0) left = inPhase * (100 - percent) / percent;
      err_ << "\r" << ProgressBarLine(stage, percent, total, left) << "\x1b[K";
      if (arrived) err_ << "\n";
      err_.flush();
    }
    if (arrived) return;
    system_.sleep(kPollStep);
  }
}

}  // namespace qmr7ctl
