// The firmware upgrade, from the Start button to the headset back on its COM port: command 20,
// closing the port, finding the device on USB, the engine's three operations with their progress,
// the outcome, and reopening the port.
//
// The engine reports on its own thread. Progress is handed to the UI thread through the
// dispatcher, in order; the end of an operation is three codes and a flag that the 100 ms
// ProgressTimer polls. Nothing on the engine's thread waits for the UI thread.
#include <algorithm>
#include <mutex>
#include <optional>
#include <utility>

#include "app/Mainform.h"
#include "resources/TextCatalog.h"
#include "toolkit/qt/Text.h"
#include "upgrade/DfuNames.h"
#include "upgrade/UpgradeRun.h"

namespace app {
namespace {

using namespace resources;
using toolkit::qt::Q;
namespace mb = toolkit::mb;

constexpr int kMessageRoundsPerLook = 100;
constexpr std::uint32_t kHintShownMs = 3000;
constexpr std::uint32_t kHintHiddenMs = 600;

// The callback has no context argument: the window that lives receives the reports. The lock
// keeps the window from going away in the middle of a report; a report takes microseconds.
std::mutex gReceiverMutex;
TMajorForm* gReceiver = nullptr;

void DFUENGINE_CALL DFUEngineCallback(std::uint32_t kind, const DFUEngineReport* report) {
  std::lock_guard lock(gReceiverMutex);
  if (gReceiver != nullptr && report != nullptr) gReceiver->OnEngineReport(kind, *report);
}

dfu::RunPhase RunPhaseOf(TUpgradePhase phase) {
  switch (phase) {
    case TUpgradePhase::Reconfigure:
      return dfu::RunPhase::Reconfigure;
    case TUpgradePhase::Download:
      return dfu::RunPhase::Download;
    case TUpgradePhase::Manifest:
      return dfu::RunPhase::Manifest;
    case TUpgradePhase::Idle:
      break;
  }
  return dfu::RunPhase::Idle;
}

}  // namespace

std::string UpgradeProgressText(TUpgradePhase phase, std::uint32_t percent,
                                std::uint32_t operation) {
  TextId id = kTextReconfiguring;
  if (phase == TUpgradePhase::Download) id = kTextDownloading;
  if (phase == TUpgradePhase::Manifest) id = kTextVerifying;
  std::string text = LoadText(id) + " " + std::to_string(percent) + "%";
  if (operation == dfu::operation::kDownloadVerify) text += ", " + LoadText(kTextAlmostDone);
  return text;
}

std::string ElapsedText(std::uint32_t elapsedMs) {
  return LoadText(kTextElapsed) + ": " +
         dfu::MinutesSeconds(std::chrono::seconds(elapsedMs / 1000));
}

std::string UpgradeFailureText(std::uint32_t result, std::uint32_t operation,
                               std::uint32_t subOperation) {
  return dfu::FillFields(LoadText(kTextUpgradeFailedDetail),
                         {dfu::ResultName(result), dfu::OperationName(operation),
                          dfu::SubOperationName(subOperation)});
}

UpgradeEndingBox UpgradeFailureBox(dfu::RunEnding ending, const dfu::OperationEnd& end) {
  const unsigned error = mb::kOk | mb::kIconError;
  switch (ending) {
    case dfu::RunEnding::StartRefused:
      return {LoadText(kTextUpgradeStartFailed), LoadText(kTextCaptionError), error};
    case dfu::RunEnding::OperationFailed:
      return {UpgradeFailureText(end.result, end.operation, end.subOperation),
              LoadText(kTextCaptionError), error};
    // Asked to replug, the headset never came back: say what the run left.
    case dfu::RunEnding::NotBackUnwritten:
      return {LoadText(kTextNotBackNothingWritten), LoadText(kTextCaptionError), error};
    case dfu::RunEnding::NotBackWritten:
      return {LoadText(kTextNotBackAfterWrite), LoadText(kTextCaptionError), error};
    case dfu::RunEnding::None:
    case dfu::RunEnding::Upgraded:
    case dfu::RunEnding::NoDevice:
    case dfu::RunEnding::Stopped:
      break;
  }
  return {};
}

UpgradeEngine& UpgradeEngine::System() {
  static UpgradeEngine engine;
  return engine;
}

UpgradeEngine& TMajorForm::Engine() const {
  return services_.engine != nullptr ? *services_.engine : UpgradeEngine::System();
}

void TMajorForm::BindUpgradeEvents() {
  connect(StartDFUUpgradeButton, &QPushButton::clicked, this,
          [this] { StartDFUUpgradeButtonClick(); });
  DFUCloseComPortTimer->OnTimer = [this] { DFUCloseComPortTimerTimer(); };
  StartDFUTimer->OnTimer = [this] { StartDFUTimerTimer(); };
  ProgressTimer->OnTimer = [this] { ProgressTimerTimer(); };
  BlinkHintTextTimer->OnTimer = [this] { BlinkHintTextTimerTimer(); };
  CheckUSBConnectionTimer->OnTimer = [this] { CheckUSBConnectionTimerTimer(); };
  std::lock_guard lock(gReceiverMutex);
  gReceiver = this;
}

void TMajorForm::ReleaseEngine() {
  {
    std::lock_guard lock(gReceiverMutex);
    if (gReceiver == this) gReceiver = nullptr;
  }
  if (EngineHandle != 0) {
    Engine().Destroy(EngineHandle);
    EngineHandle = 0;
  }
}

void TMajorForm::StartDFUUpgradeButtonClick() {
  ValidateFirmwareFile();
  if (FirmwareFilePath.empty()) return;
  if (dfu::StartOf(PortReady, UsbDeviceInDfuMode) == dfu::RunStart::FromDfuMode) {
    // The headset waits in DFU mode and cannot say its model; the engine checks the file's USB
    // ids against it. No command 20, no port to close: the run goes on from binding.
    upgradeCopy_ = std::move(firmwareCopy_);
    startedInDfuMode_ = true;
    StartUpgrade();
    return;
  }
  if (!FirmwareMatchesModel()) {
    ShowMessage(kTextWrongModel, kTextCaptionError, mb::kOk | mb::kIconError);
    return;
  }
  upgradeCopy_ = std::move(firmwareCopy_);
  startedInDfuMode_ = false;
  PendingCommand = 20;
  SendDeviceCommand();
}

void TMajorForm::DFUCloseComPortTimerTimer() {
  DFUCloseComPortTimer->Stop();
  CloseComPort();
  PortOpenedByUser = false;
}

void TMajorForm::StartDFUTimerTimer() {
  StartDFUTimer->Stop();
  services_.ui.SetCursor(SavedCursor);
  // Closed in the second before the start: the engine is gone, and nobody waits for a run.
  if (closed_) return;
  StartUpgrade();
}

void TMajorForm::StartUpgrade() {
  portsBeforeRun_.assign(PortNames.begin(), PortNames.begin() + PortCount);
  DetectUsbDevice();
  if (!UsbDeviceFound) return;  // the user has been told
  CloseComPort();
  PortOpenedByUser = false;
  replugAsked_ = false;
  if (!CallbackRegistered) {
    Engine().SetCallback(EngineHandle, &DFUEngineCallback);
    CallbackRegistered = true;
  }
  bool ok = Engine().CreateUSB(EngineHandle, UsbDeviceName);
  if (ok) {
    ShowPhase(kTextReconfiguring);
    ElapsedLabel->setText(QString());
    ElapsedLabel->show();
    UpgradePhase = TUpgradePhase::Reconfigure;
    ProgressTimer->Start();
    UpgradeStartTick = services_.clock.TickCount();
    LastResult = 0;
    LastOperation = 0;
    LastSubOperation = 0;
    ResultArrived.store(false, std::memory_order_relaxed);
    ok = Engine().StartReconfigure(EngineHandle, 0, 1, upgradeCopy_.Path());
  }
  UpdateControlStates();
  if (ok) return;
  ProgressTimer->Stop();
  ShowMessage(kTextUpgradeStartFailed, kTextCaptionError, mb::kOk | mb::kIconError);
  EndUpgradeWithFailure();
}

void TMajorForm::OnEngineReport(std::uint32_t kind, const DFUEngineReport& report) {
  if (kind == DFUENGINE_REPORT_PROGRESS) {
    const std::uint64_t operation = operationsEnded_.load(std::memory_order_relaxed);
    services_.dispatcher.Post([this, alive = std::weak_ptr<int>(alive_), operation,
                               percent = report.percent, code = report.operation] {
      if (alive.expired()) return;
      // Progress of an operation whose end was already taken, or of no run, shows nothing.
      if (operation != operationsTaken_ || UpgradePhase == TUpgradePhase::Idle) return;
      ShowProgress(percent, code);
    });
  } else if (kind == DFUENGINE_REPORT_RESULT) {
    LastResult = report.result;
    LastOperation = report.operation;
    LastSubOperation = report.subOperation;
    operationsEnded_.fetch_add(1, std::memory_order_relaxed);
    ResultArrived.store(true, std::memory_order_release);
  } else if (kind == DFUENGINE_REPORT_REPLUG) {
    const std::uint64_t operation = operationsEnded_.load(std::memory_order_relaxed);
    services_.dispatcher.Post(
        [this, alive = std::weak_ptr<int>(alive_), operation, code = report.operation] {
          if (alive.expired()) return;
          if (operation != operationsTaken_ || UpgradePhase == TUpgradePhase::Idle) return;
          AskForReplug(code);
        });
  }
}

void TMajorForm::AskForReplug(std::uint32_t operation) {
  replugAsked_ = true;
  replugOperation_ = operation;
  // On the page, blinking, so the wait for the headset goes on while the user reads it.
  HintText = LoadText(kTextReplugHeadset);
  BlinkHintTextTimer->SetInterval(kHintShownMs);
  BlinkHintTextTimer->Start();
  HintLabel->setText(Q(HintText));
  HintLabel->show();
}

void TMajorForm::EndReplugRequest() {
  if (HintText.empty()) return;
  HintText.clear();
  HintLabel->hide();
}

// The steps of the wait for a replugged headset: the one that asked, and the wait after it.
bool TMajorForm::WaitsForReplug(std::uint32_t percent, std::uint32_t operation) const {
  return dfu::StillWaitingForReplug(replugOperation_, percent, operation);
}

void TMajorForm::ShowProgress(std::uint32_t percent, std::uint32_t operation) {
  if (!WaitsForReplug(percent, operation)) EndReplugRequest();
  InfoLabel->setText(Q(UpgradeProgressText(UpgradePhase, percent, operation)));
  const int position = static_cast<int>(std::min<std::uint32_t>(percent, 100));
  // The bar repaints itself at once when its position changes, and only then.
  if (UpgradeProgressBar->value() != position) UpgradeProgressBar->setValue(position);
}

void TMajorForm::ShowPhase(TextId text) {
  InfoLabel->setText(Q(LoadText(text)));
  InfoLabel->show();
  UpgradeProgressBar->setValue(0);
  UpgradeProgressBar->show();
}

void TMajorForm::ProgressTimerTimer() {
  if (UpgradePhase != TUpgradePhase::Idle) {
    ElapsedLabel->setText(Q(ElapsedText(services_.clock.TickCount() - UpgradeStartTick)));
  }
  if (!ResultArrived.load(std::memory_order_acquire)) return;
  if (UpgradePhase == TUpgradePhase::Idle) return;  // no run takes it
  ++operationsTaken_;
  EndReplugRequest();
  const bool replugged = std::exchange(replugAsked_, false);
  const dfu::AfterOperation after = dfu::NextAfter(
      RunPhaseOf(UpgradePhase), {LastResult, LastOperation, LastSubOperation}, replugged);
  if (after.ending == dfu::RunEnding::Upgraded) {
    EndUpgradeWithSuccess();
    return;
  }
  if (after.ending != dfu::RunEnding::None) {
    ProgressTimer->Stop();
    const UpgradeEndingBox box =
        UpgradeFailureBox(after.ending, {LastResult, LastOperation, LastSubOperation});
    services_.ui.ShowMessageBox(box.text, box.caption, box.flags);
    EndUpgradeWithFailure();
    return;
  }
  bool ok = false;
  switch (after.next) {
    case dfu::RunPhase::Download:
      ShowPhase(kTextDownloading);
      UpgradePhase = TUpgradePhase::Download;
      ResultArrived.store(false, std::memory_order_relaxed);
      ok = Engine().StartDownload(EngineHandle, upgradeCopy_.Path());
      break;
    case dfu::RunPhase::Manifest:
      ShowPhase(kTextVerifying);
      UpgradePhase = TUpgradePhase::Manifest;
      ResultArrived.store(false, std::memory_order_relaxed);
      ok = Engine().StartManifest(EngineHandle);
      break;
    case dfu::RunPhase::Reconfigure:
    case dfu::RunPhase::Idle:
      return;
  }
  UpdateControlStates();
  if (ok) return;
  ProgressTimer->Stop();
  const UpgradeEndingBox box = UpgradeFailureBox(dfu::RunEnding::StartRefused, {});
  services_.ui.ShowMessageBox(box.text, box.caption, box.flags);
  EndUpgradeWithFailure();
}

void TMajorForm::EndUpgradeWithSuccess() {
  ProgressTimer->Stop();
  upgradeCopy_ = {};
  // What the configuration line showed was the replaced firmware, or nothing of the boot loader.
  ConfigInfoLabel->setText(QString());
  UsbDeviceFound = false;
  UsbDeviceInDfuMode = false;
  InfoLabel->setText(Q(LoadText(kTextVerifying) + " 100%"));
  UpgradeProgressBar->setValue(100);
  ShowMessage(kTextUpgradeComplete, kTextCaptionNote, mb::kOk | mb::kIconInformation);
  UpgradePhase = TUpgradePhase::Idle;
  UpdateControlStates();
  ReconnectComPort();
}

void TMajorForm::ReconnectComPort() {
  SavedCursor = services_.ui.CurrentCursor();
  services_.ui.SetCursor(toolkit::Cursor::Wait);
  const dfu::PortWait wait([this] { return services_.clock.TickCount(); });
  // The window stays responsive: arrivals refresh the port list while it waits. A window closed
  // meanwhile opens nothing.
  while (!closed_ && !wait.Over()) {
    for (int round = 0; round < kMessageRoundsPerLook && !closed_; ++round)
      services_.clock.ProcessMessages();
    if (closed_) break;
    services_.ui.SetCursor(toolkit::Cursor::Wait);
    if (const std::optional<int> port = ReturnedPort()) {
      ComPortListBox->setCurrentRow(*port);
      OpenComPortButtonClick();
      break;
    }
  }
  services_.ui.SetCursor(SavedCursor);
}

std::optional<int> TMajorForm::ReturnedPort() const {
  if (!startedInDfuMode_ || !OpenPortDescription.empty()) {
    const auto first = PortDescriptions.begin();
    const auto match = std::find(first, first + PortCount, OpenPortDescription);
    if (match == first + PortCount) return std::nullopt;
    return static_cast<int>(match - first);
  }
  // No port was opened before the run: the headset's is the one port that came.
  std::optional<int> only;
  for (int i = 0; i < PortCount; ++i) {
    const auto& before = portsBeforeRun_;
    if (std::find(before.begin(), before.end(), PortNames[static_cast<std::size_t>(i)]) !=
        before.end()) {
      continue;
    }
    if (only) return std::nullopt;
    only = i;
  }
  return only;
}

void TMajorForm::EndUpgradeWithFailure() {
  upgradeCopy_ = {};
  UpgradePhase = TUpgradePhase::Idle;
  ReportNoDevice = false;
  UpdateControlStates();
  // Only the labels are refreshed: one look, no wait for a device that may not come.
  DetectUsbDevice(0);
  UpdateControlStates();
  ReportNoDevice = true;
}

void TMajorForm::BlinkHintTextTimerTimer() {
  if (HintText.empty()) return;
  if (!HintLabel->isHidden()) {
    BlinkHintTextTimer->SetInterval(kHintHiddenMs);
    HintLabel->hide();
  } else {
    BlinkHintTextTimer->SetInterval(kHintShownMs);
    HintLabel->setText(Q(HintText));
    HintLabel->show();
  }
}

}  // namespace app
