#include "tools/qmr7ctl/Upgrade.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>

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

dfu::TickSource Ticks(const UpgradeSystem& system) {
  return [now = system.now] {
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now().time_since_epoch()).count());
  };
}

UpgradeSystem UpgradeSystem::Real(std::function<void()> catchInterrupts,
                                  std::function<int()> interrupts, bool terminal) {
  UpgradeSystem system;
  system.now = [] { return Clock::now(); };
  system.sleep = [](std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); };
  system.walkUsb = [] { return usbenum::WalkSystemUsb(); };
  system.createEngine = [] { return DFUEngine_Create(); };
  system.checkDriver = [](std::span<const dfu::DeviceIds> extraIds) {
    return usbenum::CheckSystemHeadsetDriver(extraIds);
  };
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
  return dfu::MinutesSeconds(s);
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

dfu::RunStage RunStageOf(Stage stage) {
  switch (stage) {
    case Stage::Detecting:
      return dfu::RunStage::Searching;
    case Stage::Reconfigure:
      return dfu::RunStage::Reconfigure;
    case Stage::Download:
      return dfu::RunStage::Download;
    case Stage::Manifest:
      return dfu::RunStage::Manifest;
    case Stage::Reconnecting:
      break;
  }
  return dfu::RunStage::Reconnecting;
}

std::string StoppedText(Stage stage, int percent) {
  switch (dfu::LeavesAt(RunStageOf(stage))) {
    case dfu::StopLeaves::NothingWritten:
      return Get(Text::StoppedBeforeWrite);
    case dfu::StopLeaves::PartlyWritten:
      return Format(Text::StoppedInDownload, {std::to_string(std::clamp(percent, 0, 100))});
    case dfu::StopLeaves::Written:
      return Get(Text::StoppedAfterWrite);
    case dfu::StopLeaves::FirmwareRunning:
      break;
  }
  return Get(Text::InterruptReconnect);
}

Failure EndingFailure(dfu::RunEnding ending, const dfu::OperationEnd& end) {
  switch (ending) {
    case dfu::RunEnding::NoDevice:
      return Failure(Exit::NoDevice, Catalog(resources::kTextNoUsbDevice));
    case dfu::RunEnding::OperationFailed:
      return Failure(
          Exit::UpgradeFailed,
          dfu::FillFields(Catalog(resources::kTextUpgradeFailedDetail),
                          {dfu::ResultName(end.result), dfu::OperationName(end.operation),
                           dfu::SubOperationName(end.subOperation)}));
    // The user was asked to replug, and the headset never came back.
    case dfu::RunEnding::NotBackUnwritten:
      return Failure(Exit::UpgradeFailed, Get(Text::NotBackBeforeWrite));
    case dfu::RunEnding::NotBackWritten:
      return Failure(Exit::UpgradeFailed, Get(Text::NotBackAfterWrite));
    case dfu::RunEnding::Stopped:
      return Failure(Exit::UpgradeFailed, Get(Text::InterruptStopped));
    case dfu::RunEnding::StartRefused:
    case dfu::RunEnding::None:
    case dfu::RunEnding::Upgraded:
      break;
  }
  return Failure(Exit::UpgradeFailed, Catalog(resources::kTextUpgradeStartFailed));
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

UpgradeDriver::UpgradeDriver(UpgradeSystem& system, InterruptWatch& watch, std::ostream& err,
                             std::function<void(const std::string&)> say,
                             std::span<const dfu::DeviceIds> extraIds)
    : system_(system),
      watch_(watch),
      err_(err),
      say_(std::move(say)),
      extraIds_(extraIds.begin(), extraIds.end()),
      run_(Ticks(system), extraIds_) {}

UpgradeDriver::~UpgradeDriver() {
  ReleaseEngine();
}

void UpgradeDriver::ReleaseEngine() {
  // Ends a running operation; no report comes after it.
  if (handle_ != 0) DFUEngine_Destroy(std::exchange(handle_, 0));
}

void UpgradeDriver::FromPort(const std::string& path,
                             const std::function<void(const usbenum::UsbDetection&)>& found) {
  Drive(run_.Begin(), path, found);
}

void UpgradeDriver::FromDfuMode(const usbenum::UsbDetection& onUsb, const std::string& path) {
  Drive(run_.BeginInDfuMode(onUsb), path, {});
}

void UpgradeDriver::Drive(dfu::UpgradeRun::Step step, const std::string& path,
                          const std::function<void(const usbenum::UsbDetection&)>& found) {
  using Do = dfu::UpgradeRun::Do;
  for (;;) {
    switch (step.what) {
      case Do::Wait: {
        const dfu::RunStage waiting = run_.Stage();
        system_.sleep(step.wait);
        step = run_.Waited();
        if (waiting == dfu::RunStage::Leaving) say_(Get(Text::LookingOnUsb));
        break;
      }
      case Do::LookOnUsb:
        Check(Stage::Detecting, 0);
        step = run_.Seen(system_.walkUsb());
        if (step.what == Do::Bind && found) found(run_.Device());
        break;
      case Do::Bind:
        step = Bind();
        break;
      case Do::StartReconfigure:
        step = Operation(Stage::Reconfigure, [&] {
          return DFUEngine_StartReconfigure(handle_, 0, 1, path.c_str()) != 0;
        });
        break;
      case Do::StartDownload:
        step = Operation(Stage::Download,
                         [&] { return DFUEngine_StartDownload(handle_, path.c_str()) != 0; });
        break;
      case Do::StartManifest:
        step = Operation(Stage::Manifest, [&] { return DFUEngine_StartManifest(handle_) != 0; });
        break;
      case Do::LookForPort:
        return;  // the new firmware runs
      case Do::End:
        if (run_.Ending() == dfu::RunEnding::Upgraded) return;
        if (run_.Ending() == dfu::RunEnding::NoDevice) {
          ThrowIfWithoutWinUsb(system_.checkDriver, extraIds_);
        }
        throw EndingFailure(run_.Ending(), run_.LastEnd());
    }
  }
}

void UpgradeDriver::Check(Stage stage, int percent) {
  try {
    watch_.Check(stage, percent);
  } catch (const Failure&) {
    run_.Stop();
    throw;
  }
}

dfu::UpgradeRun::Step UpgradeDriver::Bind() {
  handle_ = system_.createEngine();
  if (handle_ == 0) return run_.Bound(false);
  DFUEngine_SetCallback(handle_, &OnReport);
  for (const dfu::DeviceIds& ids : extraIds_) {
    DFUEngine_AddDeviceIds(handle_, static_cast<std::uint32_t>(ids.vendor) << 16 | ids.product,
                           static_cast<std::uint32_t>(ids.dfuVendor) << 16 | ids.dfuProduct);
  }
  // The engine may send requests only to the device the run chose.
  DFUEngine_SetUSBDeviceFilter(handle_, run_.Device().deviceName.c_str());
  char names[DFUENGINE_NAMES_SIZE] = {};
  const bool listed = DFUEngine_GetUSBDeviceNames(handle_, names) != 0;
  if (!listed) ThrowIfWithoutWinUsb(system_.checkDriver, extraIds_);
  return run_.Bound(listed && DFUEngine_CreateUSB(handle_, names) != 0);
}

dfu::UpgradeRun::Step UpgradeDriver::Operation(Stage stage, const std::function<bool()>& start) {
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
  const dfu::UpgradeRun::Step started = run_.Started(start());
  if (started.what == dfu::UpgradeRun::Do::End) return started;
  bool replugAsked = false;
  for (;;) {
    int percent = 0;
    bool arrived = false, replug = false;
    dfu::OperationEnd end;
    {
      std::lock_guard lock(reports.mutex);
      percent = std::max(reports.percent, 0);
      arrived = reports.arrived;
      replug = reports.replug;
      end = {reports.result, reports.operation, reports.subOperation};
    }
    Check(stage, percent);
    if (replug && !replugAsked) {
      replugAsked = true;
      run_.ReplugAsked();
      err_ << (system_.terminal ? "\n" : "") << Get(Text::ReplugHeadset) << "\n";
    }
    if (arrived) {
      const dfu::UpgradeRun::Step next = run_.Ended(end);
      if (next.what == dfu::UpgradeRun::Do::End && run_.Ending() != dfu::RunEnding::Upgraded) {
        if (system_.terminal) err_ << "\n";
        throw EndingFailure(run_.Ending(), run_.LastEnd());
      }
      percent = 100;
      if (system_.terminal) ShowProgress(stage, percent, phaseStart, true);
      return next;
    }
    if (system_.terminal) ShowProgress(stage, percent, phaseStart, false);
    system_.sleep(kPollStep);
  }
}

void UpgradeDriver::ShowProgress(Stage stage, int percent, Clock::time_point phaseStart,
                                 bool done) {
  const auto now = system_.now();
  const auto total = std::chrono::seconds(run_.ElapsedMs() / 1000);
  const auto inPhase = std::chrono::duration_cast<std::chrono::seconds>(now - phaseStart);
  std::optional<std::chrono::seconds> left;
  if (percent > 0) left = inPhase * (100 - percent) / percent;
  err_ << "\r" << ProgressBarLine(stage, percent, total, left) << "\x1b[K";
  if (done) err_ << "\n";
  err_.flush();
}

}  // namespace qmr7ctl
