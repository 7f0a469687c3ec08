#include "upgrade/UpgradeRun.h"

#include <algorithm>
#include <cstdio>

#include "upgrade/DfuNames.h"

namespace dfu {

std::optional<usbenum::UsbDetection> ChooseHeadset(usbenum::UsbDetection walked,
                                                   std::span<const DeviceIds> extra) {
  usbenum::UsbDetection found = usbenum::WithHeadsetLoader(std::move(walked), extra);
  if (!found.Found() || found.deviceName.empty()) return std::nullopt;
  return found;
}

RunStart StartOf(bool portAnswers, bool headsetWaitsInDfuMode) {
  if (portAnswers) return RunStart::FromPort;
  if (headsetWaitsInDfuMode) return RunStart::FromDfuMode;
  return RunStart::NoHeadset;
}

// --- UsbSearch --------------------------------------------------------------------------------

UsbSearch::UsbSearch(TickSource now, std::chrono::milliseconds limit)
    : now_(std::move(now)), limitMs_(static_cast<std::uint32_t>(limit.count())), start_(now_()) {}

UsbSearch::Next UsbSearch::BeforeLook() {
  if (looks_ > 0 && now_() - start_ >= limitMs_) return Next::NotFound;
  ++looks_;
  return Next::Look;
}

UsbSearch::Next UsbSearch::Seen(bool found) {
  if (found) return Next::Found;
  return limitMs_ == 0 ? Next::NotFound : Next::Wait;
}

// --- PortWait ---------------------------------------------------------------------------------

PortWait::PortWait(TickSource now, std::chrono::milliseconds limit)
    : now_(std::move(now)), limitMs_(static_cast<std::uint32_t>(limit.count())), start_(now_()) {}

bool PortWait::Over() const {
  return now_() - start_ >= limitMs_;
}

// --- Decisions --------------------------------------------------------------------------------

AfterOperation NextAfter(RunPhase phase, const OperationEnd& end, bool replugAsked) {
  if (end.result != result::kSuccess) {
    if (replugAsked && end.result == result::kFailUsbNone) {
      return {RunPhase::Idle, phase == RunPhase::Manifest ? RunEnding::NotBackWritten
                                                          : RunEnding::NotBackUnwritten};
    }
    return {RunPhase::Idle, RunEnding::OperationFailed};
  }
  switch (phase) {
    case RunPhase::Reconfigure:
      return {RunPhase::Download, RunEnding::None};
    case RunPhase::Download:
      return {RunPhase::Manifest, RunEnding::None};
    case RunPhase::Manifest:
      return {RunPhase::Idle, RunEnding::Upgraded};
    case RunPhase::Idle:
      break;
  }
  return {};
}

bool StillWaitingForReplug(std::uint32_t asking, std::uint32_t percent, std::uint32_t operation) {
  if (percent >= 100) return false;  // back
  if (operation == asking) return true;
  return asking == operation::kReconfigureStartRuntime &&
         operation == operation::kReconfigureStartDfu;
}

StopLeaves LeavesAt(RunStage stage) {
  switch (stage) {
    case RunStage::Leaving:
    case RunStage::Searching:
    case RunStage::Binding:
    case RunStage::Reconfigure:
      return StopLeaves::NothingWritten;
    case RunStage::Download:
      return StopLeaves::PartlyWritten;
    case RunStage::Manifest:
      return StopLeaves::Written;
    case RunStage::Reconnecting:
    case RunStage::Ended:
      break;
  }
  return StopLeaves::FirmwareRunning;
}

// --- UpgradeRun -------------------------------------------------------------------------------

UpgradeRun::UpgradeRun(TickSource now, std::vector<DeviceIds> extraIds)
    : now_(std::move(now)), extraIds_(std::move(extraIds)) {}

UpgradeRun::Step UpgradeRun::Next(RunStage stage, Do what, std::chrono::milliseconds wait) {
  stage_ = stage;
  return {what, wait};
}

UpgradeRun::Step UpgradeRun::Finish(RunEnding ending) {
  ending_ = ending;
  stage_ = RunStage::Ended;
  return {Do::End, {}};
}

UpgradeRun::Step UpgradeRun::Begin() {
  fromDfuMode_ = false;
  // The second the headset has to leave its port.
  return Next(RunStage::Leaving, Do::Wait, kBeforeDetection);
}

UpgradeRun::Step UpgradeRun::BeginInDfuMode(const usbenum::UsbDetection& onUsb) {
  fromDfuMode_ = true;
  device_ = onUsb;
  return Next(RunStage::Binding, Do::Bind);
}

UpgradeRun::Step UpgradeRun::Search() {
  if (search_->BeforeLook() == UsbSearch::Next::Look)
    return Next(RunStage::Searching, Do::LookOnUsb);
  return Finish(RunEnding::NoDevice);
}

UpgradeRun::Step UpgradeRun::Waited() {
  switch (stage_) {
    case RunStage::Leaving:
      search_.emplace(now_);
      return Search();
    case RunStage::Searching:
      return Search();
    case RunStage::Reconnecting:
      return {Do::LookForPort, {}};
    default:
      return {stage_ == RunStage::Ended ? Do::End : Do::Wait, {}};
  }
}

UpgradeRun::Step UpgradeRun::Seen(const usbenum::UsbDetection& walked) {
  if (stage_ != RunStage::Searching) return {Do::End, {}};
  std::optional<usbenum::UsbDetection> headset = ChooseHeadset(walked, extraIds_);
  if (search_->Seen(headset.has_value()) == UsbSearch::Next::Found) {
    device_ = std::move(*headset);
    return Next(RunStage::Binding, Do::Bind);
  }
  return Next(RunStage::Searching, Do::Wait, search_->Step());
}

UpgradeRun::Step UpgradeRun::Bound(bool ok) {
  if (!ok) return Finish(RunEnding::StartRefused);
  bound_ = true;
  boundAt_ = now_();
  return StartPhase(RunPhase::Reconfigure);
}

UpgradeRun::Step UpgradeRun::StartPhase(RunPhase phase) {
  replugAsked_ = false;
  switch (phase) {
    case RunPhase::Reconfigure:
      return Next(RunStage::Reconfigure, Do::StartReconfigure);
    case RunPhase::Download:
      return Next(RunStage::Download, Do::StartDownload);
    case RunPhase::Manifest:
      return Next(RunStage::Manifest, Do::StartManifest);
    case RunPhase::Idle:
      break;
  }
  return Finish(RunEnding::StartRefused);
}

UpgradeRun::Step UpgradeRun::Started(bool ok) {
  if (!ok) return Finish(RunEnding::StartRefused);
  // The operation runs; its end comes through Ended.
  return {Do::Wait, {}};
}

RunPhase UpgradeRun::Phase() const {
  switch (stage_) {
    case RunStage::Reconfigure:
      return RunPhase::Reconfigure;
    case RunStage::Download:
      return RunPhase::Download;
    case RunStage::Manifest:
      return RunPhase::Manifest;
    default:
      return RunPhase::Idle;
  }
}

UpgradeRun::Step UpgradeRun::Ended(const OperationEnd& end) {
  const RunPhase phase = Phase();
  if (phase == RunPhase::Idle) return {stage_ == RunStage::Ended ? Do::End : Do::Wait, {}};
  lastEnd_ = end;
  const AfterOperation after = NextAfter(phase, end, replugAsked_);
  if (after.ending == RunEnding::Upgraded) {
    ending_ = RunEnding::Upgraded;
    portWait_.emplace(now_);
    return Next(RunStage::Reconnecting, Do::LookForPort);
  }
  if (after.ending != RunEnding::None) return Finish(after.ending);
  return StartPhase(after.next);
}

UpgradeRun::Step UpgradeRun::PortSeen(bool found) {
  if (stage_ != RunStage::Reconnecting) return {Do::End, {}};
  if (found) {
    portBack_ = true;
    return Finish(RunEnding::Upgraded);
  }
  if (portWait_->Over()) return Finish(RunEnding::Upgraded);
  return {Do::Wait, kUpgradePollStep};
}

UpgradeRun::Step UpgradeRun::Stop() {
  leaves_ = LeavesAt(stage_);
  if (stage_ == RunStage::Ended) return {Do::End, {}};
  // The firmware in place, a stop only ends the wait for its port.
  return Finish(stage_ == RunStage::Reconnecting ? RunEnding::Upgraded : RunEnding::Stopped);
}

std::uint32_t UpgradeRun::ElapsedMs() const {
  return bound_ ? now_() - boundAt_ : 0;
}

// --- Texts ------------------------------------------------------------------------------------

std::string MinutesSeconds(std::chrono::seconds elapsed) {
  const long long total = std::max<long long>(0, elapsed.count());
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
  return text;
}

std::string VersionNumber(int version) {
  char text[32];
  std::snprintf(text, sizeof text, "V%d.%02d", version / 100, version % 100);
  return text;
}

std::string FillFields(const std::string& pattern, std::initializer_list<std::string> values) {
  std::string out;
  auto value = values.begin();
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (value != values.end() && pattern.compare(i, 2, "%s") == 0) {
      out += *value++;
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

}  // namespace dfu
