// The main window: one fixed-size dialog whose handlers hold all of the tool's logic. Its methods
// are defined by concern: start-up and closing (MainformStartup.cpp), building the controls from
// the layout (MainformLayout.cpp), COM ports (MainformPorts.cpp), the settings pages
// (MainformPages.cpp), the firmware file (MainformFirmware.cpp), finding the headset on USB
// (MainformUsb.cpp), the firmware upgrade (MainformUpgrade.cpp) and what screen readers are told
// (MainformAccessible.cpp).
//
// Everything here runs on the UI thread. The platform reaches the window only through the
// services it is given, so tests drive it with a manual clock and scripted answers.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "app/DeviceProtocol.h"
#include "app/UpgradeEngine.h"
#include "comport/ComPort.h"
#include "comport/ComSignal.h"
#include "platform/DeviceNotifier.h"
#include "platform/PortEnumerator.h"
#include "resources/TextIds.h"
#include "toolkit/Clock.h"
#include "toolkit/Dispatcher.h"
#include "toolkit/Timer.h"
#include "toolkit/UiServices.h"
#include "toolkit/qt/LabeledEdit.h"
#include "toolkit/qt/NoteMemo.h"
#include "toolkit/qt/PageControl.h"
#include "toolkit/qt/PaintBox.h"
#include "toolkit/qt/UpDown.h"
#include "upgrade/DFUEngine.h"
#include "upgrade/DfuQuirks.h"
#include "upgrade/FirmwareCopy.h"
#include "upgrade/UpgradeRun.h"
#include "upgrade/UpgradeWaits.h"

namespace app {

using toolkit::qt::LabeledEdit;
using toolkit::qt::NoteMemo;
using toolkit::qt::PageControl;
using toolkit::qt::PaintBox;
using toolkit::qt::UpDown;

// What the window needs from the platform.
struct MajorFormServices {
  toolkit::Clock& clock;
  toolkit::UiServices& ui;
  toolkit::UiDispatcher& dispatcher;
  platform::PortEnumerator& ports;
  platform::DeviceNotifier& deviceNotifier;
  std::string programPath;    // names the settings file
  std::string appDataFolder;  // the per-user application-data folder
  // The firmware upgrade engine; null: the system's.
  UpgradeEngine* engine = nullptr;
  // The walk of the USB tree: the configuration string of an attached device that names both its
  // firmware ("FW:") and its PSR ("PSR:") file, in upper case, or empty. Unset: nothing is found.
  std::function<std::string()> scanUsbTree;
  // One look at the USB tree: whether the headset (its ids in the quirk table, or the extra ids
  // given) is attached and waits in DFU mode, left there by an upgrade cut short. Unset: never.
  std::function<bool(std::span<const dfu::DeviceIds>)> headsetInDfuMode;
};

enum class TUpgradePhase : int { Idle = 0, Reconfigure = 1, Download = 2, Manifest = 3 };

// What the firmware page shows of a run: a progress report's line, the time since the run began,
// and the message for an engine failure with its three code names.
std::string UpgradeProgressText(TUpgradePhase phase, std::uint32_t percent,
                                std::uint32_t operation);
std::string ElapsedText(std::uint32_t elapsedMs);
std::string UpgradeFailureText(std::uint32_t result, std::uint32_t operation,
                               std::uint32_t subOperation);

// The box that tells how a run ended in failure after the engine's last end report `end`; an
// empty text for endings the window says elsewhere (no device: the detection) or not at all.
struct UpgradeEndingBox {
  std::string text;
  std::string caption;
  unsigned flags = 0;
};
UpgradeEndingBox UpgradeFailureBox(dfu::RunEnding ending, const dfu::OperationEnd& end);

inline constexpr int kIdleCommand = 9999;
inline constexpr int kMaxPorts = 64;
// Paths and device texts the window keeps hold at most this many characters.
inline constexpr std::size_t kMaxFixedText = 255;

// Font character sets, as the language's font choice names them.
inline constexpr int kDefaultCharset = 1;
inline constexpr int kShiftJisCharset = 128;
inline constexpr int kBig5Charset = 136;

class TMajorForm final : public QDialog {
 public:
  // The design font as the language shows it: its family (and size) replaced; returns the charset.
  static int LanguageFont(QFont& font);
  explicit TMajorForm(MajorFormServices services, QWidget* parent = nullptr);
  ~TMajorForm() override;

  // --- Controls, named as the layout names them -------------------------------------------------
  QLabel* SelectComPortLabel = nullptr;
  QLabel* FWVerLabel = nullptr;
  PaintBox* PaintBox1 = nullptr;
  QLabel* DeviceInfoLabel = nullptr;
  QLabel* DeviceBdAddrInfoLabel = nullptr;
  PageControl* PageControl1 = nullptr;
  QListWidget* ComPortListBox = nullptr;
  QPushButton* OpenComPortButton = nullptr;
  QPushButton* CloseComPortButton = nullptr;
  QPlainTextEdit* InfoMemo = nullptr;
  QPushButton* ExitButton = nullptr;
  QPushButton* RestoreDefaultButton = nullptr;

  QWidget* SpeedDialSettingTabSheet = nullptr;
  LabeledEdit* SpeedDial1LabeledEdit = nullptr;
  LabeledEdit* SpeedDial2LabeledEdit = nullptr;
  LabeledEdit* SpeedDial3LabeledEdit = nullptr;
  QPushButton* SaveSpeedDialSettingButton = nullptr;
  NoteMemo* SpeedDialSettingMemo = nullptr;

  QWidget* A2DPAudioSettingTabSheet = nullptr;
  LabeledEdit* A2DPAudioMixPercentageLabeledEdit = nullptr;
  UpDown* A2DPAudioMixPercentageUpDown = nullptr;
  QPushButton* SaveA2dpAudioSettingButton = nullptr;
  NoteMemo* A2DPAudioSettingMemo = nullptr;

  QWidget* GPSAudioSettingTabSheet = nullptr;
  LabeledEdit* GPSAudioMixPercentageLabeledEdit = nullptr;
  UpDown* GPSAudioMixPercentageUpDown = nullptr;
  LabeledEdit* GPSAudioSharingLabeledEdit = nullptr;
  UpDown* GPSAudioSharingUpDown = nullptr;
  QPushButton* SaveGPSAudioSettingButton = nullptr;
  NoteMemo* GPSAudioSettingMemo = nullptr;

  QWidget* DeviceFirmwareUpgradeTabSheet = nullptr;
  QPushButton* OpenDfuFileButton = nullptr;
  QLabel* DFUFileNameLabel = nullptr;
  QLabel* DfuDeviceLabel = nullptr;
  // Says that the headset waits in DFU mode, so an upgrade can start there.
  QLabel* DfuModeLabel = nullptr;
  QLabel* ConfigInfoLabel = nullptr;
  QLabel* BdAddrInfoLabel = nullptr;
  QPushButton* StartDFUUpgradeButton = nullptr;
  QLabel* InfoLabel = nullptr;
  QLabel* ElapsedLabel = nullptr;
  QProgressBar* UpgradeProgressBar = nullptr;
  QLabel* HintLabel = nullptr;

  toolkit::Timer* CheckUSBConnectionTimer = nullptr;
  toolkit::Timer* ProgressTimer = nullptr;
  toolkit::Timer* BlinkHintTextTimer = nullptr;
  toolkit::Timer* UartRespTimeoutTimer = nullptr;
  toolkit::Timer* StartDFUTimer = nullptr;
  toolkit::Timer* DFUCloseComPortTimer = nullptr;
  toolkit::Timer* ShowPromptTimer = nullptr;

  // Opened and closed by the window; closes with the window when destroyed.
  std::unique_ptr<comport::TComPort> ComPort1;
  // Bound to no port and no control: it shows nothing.
  std::unique_ptr<comport::TComSignal> ComSignal1;

  // --- Window state ----------------------------------------------------------------------------
  int PendingCommand = kIdleCommand;
  bool OkReceived = false;
  bool PortReady = false;
  bool PortOpenedByUser = false;
  bool SpeedDialChanged = false;
  bool A2dpChanged = false;
  bool GpsChanged = false;
  bool RestorePending = false;
  LineBuffer RxBuffer;
  std::string SettingsFilePath;
  std::string FirmwareFilePath;
  DFUEngineHandle EngineHandle = 0;
  std::unique_ptr<platform::DeviceNotifier::Registration> DeviceNotification;
  TUpgradePhase UpgradePhase = TUpgradePhase::Idle;

  std::array<std::string, kMaxPorts> PortNames;
  std::array<std::string, kMaxPorts> PortDescriptions;
  int PortCount = 0;
  // What the ports are after a removal, to tell whether the open port's device went.
  std::array<std::string, kMaxPorts> ScanPortNames;
  std::array<std::string, kMaxPorts> ScanPortDescriptions;
  int ScanPortCount = 0;
  std::string OpenPortDescription;

  int FontCharset = kDefaultCharset;
  // The application's title (task bar text).
  std::string ApplicationTitle;

  // --- Start-up and closing --------------------------------------------------------------------
  void FormCreate();
  void FormShow();
  void ShowPromptTimerTimer();
  void ExitButtonClick();
  // Escape does not close the tool: it closes only through Exit and its close box.
  void reject() override;
  void FormCloseQuery(bool& canClose);
  void FormClose();

  // --- COM ports ------------------------------------------------------------------------------
  bool EnumerateComPorts(int& count, std::array<std::string, kMaxPorts>& names,
                         std::array<std::string, kMaxPorts>& descriptions);
  void RefreshComPortList();
  void ScanComPorts();
  void PreselectUsbPort();
  bool OpenComPort(const std::string& name);
  void OpenComPortButtonClick();
  void CloseComPortButtonClick();
  // Closes the port as the Close button does; a command awaiting its answer ends with it.
  void DisconnectComPort();
  // The open port's device went away: disconnects, and tells the user when a command it had not
  // answered ended with it.
  void DeviceLeft();
  void ComPort1AfterClose(comport::TCustomComPort* port);
  void WMDeviceChange(unsigned eventCode);
  void UpdateControlStates();

  // --- Device protocol ------------------------------------------------------------------------
  // Sends the command for PendingCommand and starts the response timer. A line that cannot be
  // written is reported, leaves no command pending and closes the port; the result says whether
  // the line went out.
  bool SendDeviceCommand();
  // Gives up the pending command: no command pending, no timer running, the port closed.
  void AbandonDeviceCommand();
  void WriteCommandLine(const std::string& line);
  // Takes every complete line out of RxBuffer and handles it.
  void ComPort1RxChar(toolkit::Component* sender);
  void HandleReceivedLines();
  void HandleDeviceLine(const std::string& line);
  void UartRespTimeoutTimerTimer();
  void CloseComPort();
  // Shows the configuration the attached device reports on USB (filled by the USB detection).
  void RefreshDeviceInfoLabel();

  std::string DeviceModelName;
  std::string DeviceAddress;
  toolkit::Cursor SavedCursor = toolkit::Cursor::Default;

  // Last values the device reported or was sent; leaving a page undoes edits back to them.
  std::string LastSpeedDial1, LastSpeedDial2, LastSpeedDial3;
  int LastA2dpPercentage = 0;
  int LastGpsPercentage = 0;
  int LastGpsSharing = 0;

  // --- Settings pages -------------------------------------------------------------------------
  void UpdateSharingText();
  void SpeedDial1LabeledEditChange();
  void SpeedDial2LabeledEditChange();
  void SpeedDial3LabeledEditChange();
  void A2DPAudioMixPercentageUpDownChanging(bool& allowChange);
  void GPSAudioMixPercentageUpDownChanging(bool& allowChange);
  void GPSAudioSharingUpDownChanging(bool& allowChange);
  void GPSAudioSharingUpDownClick(toolkit::qt::UDBtnType button);
  void SaveSpeedDialSettingButtonClick();
  void SaveA2dpAudioSettingButtonClick();
  void SaveGPSAudioSettingButtonClick();
  void RestoreDefaultButtonClick();
  void PageControl1Changing(bool& allowChange);
  void PaintBox1Click();

  // --- USB detection ---------------------------------------------------------------------------
  // Waits up to `limitMs` (30 s unless told) for a DFU device and shows what it runs. Input is
  // blocked meanwhile; the window keeps painting. 0: one look.
  void DetectUsbDevice(std::uint32_t limitMs = dfu::kDetectionLimit.count());
  // One silent look for the headset waiting in DFU mode (at start, on a device arrival): the page
  // says so and Start takes it, with no port open.
  void LookForHeadsetInDfuMode();
  void ScanUsbTree();
  void CheckUSBConnectionTimerTimer();
  void RefreshUSBConnectionButtonClick();

  std::string UsbDeviceName;
  bool UsbDeviceFound = false;
  // The headset found waits in DFU mode: an upgrade starts there, without the port.
  bool UsbDeviceInDfuMode = false;
  // Ids of a headset the quirk table does not know, from the settings file ("DFU_DeviceIds").
  std::vector<dfu::DeviceIds> ExtraDeviceIds;
  // Whether DetectUsbDevice tells the user that nothing was found.
  bool ReportNoDevice = false;
  std::string UsbConfigText;

  // --- Firmware upgrade ------------------------------------------------------------------------
  void StartDFUUpgradeButtonClick();
  void DFUCloseComPortTimerTimer();
  void StartDFUTimerTimer();
  void StartUpgrade();
  void ProgressTimerTimer();
  void BlinkHintTextTimerTimer();
  // The body of the engine's report callback; may run on the engine's thread. It never blocks:
  // progress goes to the UI thread through the dispatcher, the end of an operation through
  // ResultArrived.
  void OnEngineReport(std::uint32_t kind, const DFUEngineReport& report);

  // Set on the engine's thread after the three codes, read by ProgressTimerTimer on the UI thread.
  std::atomic<bool> ResultArrived{false};
  std::uint32_t LastResult = 0;
  std::uint32_t LastOperation = 0;
  std::uint32_t LastSubOperation = 0;
  std::uint32_t UpgradeStartTick = 0;
  bool CallbackRegistered = false;
  std::string HintText;

  // --- Texts ----------------------------------------------------------------------------------
  // A modal box with catalogue texts; returns the button pressed.
  int ShowMessage(resources::TextId text, resources::TextId caption, unsigned flags);
  void FitLabelText(QLabel* label, const std::string& text);
  // The labels whose text changes while the window runs, each with the longest texts it shows;
  // their fonts are fitted to these.
  std::vector<std::pair<QLabel*, QStringList>> ChangingLabelTexts() const;

  // The process-wide first-show flag, set again for a test that needs a first show.
  static void ResetFirstShowForTesting();

  // --- Firmware file ----------------------------------------------------------------------------
  void OpenDfuFileButtonClick();
  // Checks FirmwareFilePath with the engine and the product-family marker; a rejected path is
  // cleared and the user told why.
  void ValidateFirmwareFile();
  // Whether the file's name (after the last path separator) starts with the model name and "_".
  bool FirmwareMatchesModel();

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  // Enter presses the focused button; no button is pressed for Enter elsewhere. Ctrl+Tab and
  // Ctrl+Shift+Tab change the page from any control.
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void BuildControls();
  // Screen readers: the labels read with their meaning (before any label exists), the names and
  // descriptions of the controls (once the texts are on them), and the end of a read chain.
  static void InstallAccessibleLabels();
  void NameControls();
  void AnnounceSettingsRead();
  void ForgetSettingsRead();
  void BuildTimers();
  void BuildIndicators();
  void BindEvents();
  void SetTabOrder();
  void ApplyLanguageFont();
  void FitTextsToControls();
  void BindUpgradeEvents();
  void ReleaseEngine();
  UpgradeEngine& Engine() const;
  // The phase's text with the percentage, as progress reports show it.
  void ShowProgress(std::uint32_t percent, std::uint32_t operation);
  void ShowPhase(resources::TextId text);
  void EndUpgradeWithSuccess();
  void EndUpgradeWithFailure();
  void ReconnectComPort();
  void ShowConfiguration(QLabel* label);
  void ShowDfuModeLine();
  // The user is asked to replug the headset (the system refused a reset); the request lasts
  // through the wait and ends with a report that shows the headset back, or with the result.
  void AskForReplug(std::uint32_t operation);
  bool WaitsForReplug(std::uint32_t percent, std::uint32_t operation) const;
  void EndReplugRequest();
  // The port to reopen after a run: the one of the description last opened, or, when none was
  // opened (the run began in DFU mode), the only port that was not listed before the run.
  std::optional<int> ReturnedPort() const;
  // A page's Save is enabled once its values have come from the headset on this connection:
  // before, it would send the empty or default edits over the headset's own values.
  void UpdateSaveButtons();
  void ForgetPagesRead();

  // Operations whose end report the UI thread has taken, and (on the engine's thread) whose end
  // report came: a progress report queued before an end but handled after it is stale.
  std::uint64_t operationsTaken_ = 0;
  std::atomic<std::uint64_t> operationsEnded_{0};
  // Tells queued progress whether the window still exists.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  bool closed_ = false;  // FormClose has run
  bool speedDialsRead_ = false;
  bool a2dpRead_ = false;
  bool gpsRead_ = false;
  // The firmware file as the last check read it: the engine judges this copy, not the file.
  dfu::FirmwareCopy firmwareCopy_;
  // The copy an upgrade request checked, which its run downloads, whatever becomes of the file.
  dfu::FirmwareCopy upgradeCopy_;
  // The run began with the headset in DFU mode: no command 20, no port to close.
  bool startedInDfuMode_ = false;
  // The running operation asked the user to replug the headset.
  bool replugAsked_ = false;
  std::uint32_t replugOperation_ = 0;  // the engine's operation that asked
  // Ports listed when the run began, to tell the headset's port when it comes back.
  std::vector<std::string> portsBeforeRun_;

  MajorFormServices services_;
  std::vector<std::unique_ptr<toolkit::Timer>> timers_;
};

}  // namespace app
