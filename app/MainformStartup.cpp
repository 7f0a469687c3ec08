// Start-up, the first-show prompt, the language's font, the settings file and the closing rules.
#include <QCloseEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QShowEvent>
#include <cstdio>

#include "app/Mainform.h"
#include "platform/Folders.h"
#include "platform/IniFile.h"
#include "resources/TextCatalog.h"
#include "resources/Version.h"
#include "toolkit/Application.h"
#include "toolkit/qt/Text.h"
#include "toolkit/qt/TextFit.h"

namespace app {
namespace {

using namespace resources;
using toolkit::qt::Q;
namespace mb = toolkit::mb;

constexpr char kSettingsSection[] = "Setting";
constexpr char kFirmwareFileKey[] = "DFU_FileName";
// Absent by default: "VID:PID[,VID:PID]" of a headset whose ids the tool does not know, which
// support can give a user without a new build.
constexpr char kDeviceIdsKey[] = "DFU_DeviceIds";
constexpr char kSettingsFolder[] = "FPBFU";

bool gFirstShow = true;

// Design families stand for what the platform offers in their place, best first. Windows lists
// ours too: they are what a machine without its own has (wine, and the tests' font folder).
QStringList FontFamiliesFor(int charset) {
  switch (charset) {
    case kShiftJisCharset:
#ifdef _WIN32
      return {QStringLiteral("Yu Gothic UI"), QStringLiteral("Meiryo UI"),
              QStringLiteral("MS UI Gothic"), QStringLiteral("Noto Sans CJK JP")};
#else
      return {QStringLiteral("Noto Sans CJK JP")};
#endif
    case kBig5Charset:
#ifdef _WIN32
      return {QStringLiteral("Microsoft JhengHei UI"), QStringLiteral("PMingLiU"),
              QStringLiteral("Noto Sans CJK TC")};
#else
      return {QStringLiteral("Noto Sans CJK TC")};
#endif
    default:
#ifdef _WIN32
      return {QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Liberation Sans")};
#else
      return {QStringLiteral("Liberation Sans")};
#endif
  }
}

}  // namespace

TMajorForm::TMajorForm(MajorFormServices services, QWidget* parent)
    : QDialog(parent), services_(std::move(services)) {
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  InstallAccessibleLabels();
  BuildControls();
  BuildTimers();
  ComPort1 = std::make_unique<comport::TComPort>(nullptr, services_.dispatcher);
  ComPort1->SetName("ComPort1");
  ComPort1->SetDeviceName("COM2");
  BuildIndicators();
  BindEvents();
  FormCreate();
}

// The port closes with the window. Its close handler and the device notification are unbound
// first, so that closing the port or a late notification does not run into a window being torn
// down; the engine goes before them, so no report reaches a window half gone.
TMajorForm::~TMajorForm() {
  ReleaseEngine();
  DeviceNotification.reset();
  ComPort1->SetAfterClose({});
  ComPort1.reset();
}

void TMajorForm::ResetFirstShowForTesting() {
  gFirstShow = true;
}

void TMajorForm::BindEvents() {
  connect(ExitButton, &QPushButton::clicked, this, [this] { ExitButtonClick(); });
  connect(OpenComPortButton, &QPushButton::clicked, this, [this] { OpenComPortButtonClick(); });
  connect(CloseComPortButton, &QPushButton::clicked, this, [this] { CloseComPortButtonClick(); });
  ComPort1->SetOnRxChar(comport::TNotifyEvent::Bind(this, &TMajorForm::ComPort1RxChar));
  ComPort1->SetAfterClose(comport::TOpenCloseEvent::Bind(this, &TMajorForm::ComPort1AfterClose));
  connect(RestoreDefaultButton, &QPushButton::clicked, this,
          [this] { RestoreDefaultButtonClick(); });
  connect(SaveSpeedDialSettingButton, &QPushButton::clicked, this,
          [this] { SaveSpeedDialSettingButtonClick(); });
  connect(SaveA2dpAudioSettingButton, &QPushButton::clicked, this,
          [this] { SaveA2dpAudioSettingButtonClick(); });
  connect(SaveGPSAudioSettingButton, &QPushButton::clicked, this,
          [this] { SaveGPSAudioSettingButtonClick(); });
  SpeedDial1LabeledEdit->OnChange = [this] { SpeedDial1LabeledEditChange(); };
  SpeedDial2LabeledEdit->OnChange = [this] { SpeedDial2LabeledEditChange(); };
  SpeedDial3LabeledEdit->OnChange = [this] { SpeedDial3LabeledEditChange(); };
  A2DPAudioMixPercentageUpDown->OnChanging = [this](bool& allow) {
    A2DPAudioMixPercentageUpDownChanging(allow);
  };
  GPSAudioMixPercentageUpDown->OnChanging = [this](bool& allow) {
    GPSAudioMixPercentageUpDownChanging(allow);
  };
  GPSAudioSharingUpDown->OnChanging = [this](bool& allow) { GPSAudioSharingUpDownChanging(allow); };
  GPSAudioSharingUpDown->OnClick = [this](toolkit::qt::UDBtnType b) {
    GPSAudioSharingUpDownClick(b);
  };
  PageControl1->OnChanging = [this](bool& allow) { PageControl1Changing(allow); };
  PaintBox1->OnClick = [this] { PaintBox1Click(); };
  ShowPromptTimer->OnTimer = [this] { ShowPromptTimerTimer(); };
  UartRespTimeoutTimer->OnTimer = [this] { UartRespTimeoutTimerTimer(); };
  connect(OpenDfuFileButton, &QPushButton::clicked, this, [this] { OpenDfuFileButtonClick(); });
  BindUpgradeEvents();
}

void TMajorForm::FormCreate() {
  // 1. Captions.
  SelectComPortLabel->setText(Q(LoadText(kTextSelectComPort)));
  OpenComPortButton->setText(Q(LoadText(kTextOpenComPort)));
  CloseComPortButton->setText(Q(LoadText(kTextCloseComPort)));
  PageControl1->setTabText(0, Q(LoadText(kTextSpeedDialPage)));
  PageControl1->setTabText(1, Q(LoadText(kTextA2dpPage)));
  PageControl1->setTabText(2, Q(LoadText(kTextGpsPage)));
  PageControl1->setTabText(3, Q(LoadText(kTextFirmwarePage)));
  SpeedDial1LabeledEdit->SetLabelText(Q(LoadText(kTextSpeedDial1)));
  SpeedDial2LabeledEdit->SetLabelText(Q(LoadText(kTextSpeedDial2)));
  SpeedDial3LabeledEdit->SetLabelText(Q(LoadText(kTextSpeedDial3)));
  A2DPAudioMixPercentageLabeledEdit->SetLabelText(Q(LoadText(kTextA2dpPercentage)));
  GPSAudioMixPercentageLabeledEdit->SetLabelText(Q(LoadText(kTextGpsPercentage)));
  GPSAudioSharingLabeledEdit->SetLabelText(Q(LoadText(kTextGpsSharing)));

  // 2.
  UpdateSharingText();

  // 3.
  SaveSpeedDialSettingButton->setText(Q(LoadText(kTextSave)));
  SaveA2dpAudioSettingButton->setText(Q(LoadText(kTextSave)));
  SaveGPSAudioSettingButton->setText(Q(LoadText(kTextSave)));

  // 4.
  PageControl1->SetActivePageIndex(0);

  // 5. The page notes, one memo line per piece, empty pieces included.
  const std::pair<NoteMemo*, TextId> notes[] = {
      {SpeedDialSettingMemo, kTextSpeedDialNote},
      {A2DPAudioSettingMemo, kTextA2dpNote},
      {GPSAudioSettingMemo, kTextGpsNote},
  };
  for (const auto& [memo, id] : notes) {
    for (const std::string& line : SplitNoteLines(LoadText(id)))
      memo->AddLine(Q(line));
  }

  // 6.
  PendingCommand = kIdleCommand;

  // 7.
  EngineHandle = Engine().Create();

  // 8.
  InfoLabel->hide();
  ElapsedLabel->hide();
  HintLabel->hide();
  UpgradeProgressBar->hide();
  ConfigInfoLabel->setText(QString());
  BdAddrInfoLabel->setText(QString());
  DeviceInfoLabel->hide();
  DeviceInfoLabel->setText(QString());
  DeviceBdAddrInfoLabel->hide();
  DeviceBdAddrInfoLabel->setText(QString());

  // 9.
  ReportNoDevice = true;

  // 10.
  setWindowTitle(Q(LoadText(kTextAppTitle) + ", " + kCaptionVersion));
  StartDFUUpgradeButton->setText(Q(LoadText(kTextStartUpgrade)));
  OpenDfuFileButton->setText(Q(LoadText(kTextSelectFirmware)));
  ExitButton->setText(Q(LoadText(kTextExit)));
  RestoreDefaultButton->setText(Q(LoadText(kTextRestoreDefaults)));

  // 11.
  ApplyLanguageFont();
  FitTextsToControls();

  // 12.
  RefreshComPortList();
  PreselectUsbPort();

  // 13. The task-bar text: the window's icon name, which task bars and window lists show.
  ApplicationTitle = LoadText(kTextAppTitle);
  setWindowIconText(Q(ApplicationTitle));
  NameControls();

  // 14. A failure, for instance because the folder exists, is of no consequence here.
  std::string folder = services_.appDataFolder;
  if (folder.empty() || (folder.back() != '/' && folder.back() != platform::kPathSeparator)) {
    folder += platform::kPathSeparator;
  }
  folder += kSettingsFolder;
  platform::CreateFolder(folder);

  // 15.
  SettingsFilePath =
      folder + platform::kPathSeparator + platform::ProgramBaseName(services_.programPath) + ".INI";

  // 16. A value longer than a path field holds is not cut: it would name another file.
  std::string remembered =
      platform::IniFile(SettingsFilePath).ReadString(kSettingsSection, kFirmwareFileKey);
  if (CharCount(remembered) > kMaxFixedText) remembered.clear();
  FitLabelText(DFUFileNameLabel, remembered);
  FirmwareFilePath = remembered;
  // A value that is not ids is ignored: the tool then knows the headsets it was built for.
  if (const auto ids = dfu::ParseDeviceIds(
          platform::IniFile(SettingsFilePath).ReadString(kSettingsSection, kDeviceIdsKey))) {
    ExtraDeviceIds.push_back(*ids);
    if (EngineHandle != 0) Engine().AddDeviceIds(EngineHandle, *ids);
  }

  // 17.
  DeviceNotification = services_.deviceNotifier.Register(
      [this](const platform::DeviceChange& change) { WMDeviceChange(change.eventCode); });

  // 18.
  UpdateControlStates();
  LookForHeadsetInDfuMode();
}

void TMajorForm::ApplyLanguageFont() {
  QFont f = font();
  FontCharset = LanguageFont(f);
  setFont(f);
}

int TMajorForm::LanguageFont(QFont& f) {
  const std::string language = LoadText(kTextLanguageName);
  int charset = kDefaultCharset;
  if (language.find("Japanese") != std::string::npos) {
    charset = kShiftJisCharset;
    f.setPointSize(10);
  } else if (language.find("Traditional Chinese") != std::string::npos) {
    charset = kBig5Charset;
    f.setPointSize(10);
  }
  f.setFamilies(FontFamiliesFor(charset));
  return charset;
}

std::vector<std::pair<QLabel*, QStringList>> TMajorForm::ChangingLabelTexts() const {
  QStringList info;
  for (TextId phase : {kTextReconfiguring, kTextDownloading, kTextVerifying}) {
    info << Q(LoadText(phase) + " 100%, " + LoadText(kTextAlmostDone));
  }
  const QString address = Q(LoadText(kTextDeviceAddressField) + " : 00:00:00:00:00:00");
  return {
      {FWVerLabel, {Q(LoadText(kTextFirmwareVersion) + " V99.99")}},
      {InfoLabel, info},
      {ElapsedLabel, {Q(LoadText(kTextElapsed) + ": 99:59")}},
      {BdAddrInfoLabel, {address}},
      {DeviceBdAddrInfoLabel, {address}},
      {DfuModeLabel, {Q(LoadText(kTextHeadsetInDfuMode))}},
      {HintLabel, {Q(LoadText(kTextReplugHeadset))}},
  };
}

// The layout's sizes were made for one font; the language's font may need more room. A text that
// would run past its control gets a narrower, at worst a smaller, font of its own.
void TMajorForm::FitTextsToControls() {
  for (QPushButton* button : findChildren<QPushButton*>())
    toolkit::qt::FitControlFont(button, {button->text()});
  toolkit::qt::FitControlFont(SelectComPortLabel, {SelectComPortLabel->text()});
  for (const auto& [label, texts] : ChangingLabelTexts())
    toolkit::qt::FitControlFont(label, texts);
}

void TMajorForm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous()) FormShow();
}

void TMajorForm::FormShow() {
  if (!gFirstShow) return;
  gFirstShow = false;
  ShowPromptTimer->Start();
}

void TMajorForm::ShowPromptTimerTimer() {
  ShowPromptTimer->Stop();
  ShowMessage(kTextSelectAndOpenPort, kTextCaptionNote, mb::kOk | mb::kIconInformation);
}

void TMajorForm::ExitButtonClick() {
  close();
}

void TMajorForm::reject() {}

void TMajorForm::keyPressEvent(QKeyEvent* event) {
  // Ctrl+Tab and Ctrl+Shift+Tab change the page wherever the focus is, as they do on the pages.
  const bool ctrlTab = (event->modifiers() & Qt::ControlModifier) != 0 &&
                       (event->key() == Qt::Key_Tab || event->key() == Qt::Key_Backtab);
  if (ctrlTab && PageControl1->isEnabled() && PageControl1->count() > 0) {
    const int step = event->key() == Qt::Key_Backtab ? -1 : 1;
    const int count = PageControl1->count();
    PageControl1->RequestPage((PageControl1->ActivePageIndex() + step + count) % count);
    event->accept();
    return;
  }
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  auto* button = qobject_cast<QPushButton*>(focusWidget());
  if (enter && button != nullptr && button->isEnabled() && button->isVisible()) {
    button->click();
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void TMajorForm::FormCloseQuery(bool& canClose) {
  if (UpgradePhase != TUpgradePhase::Idle) {
    ShowMessage(kTextUpgradeRunning, kTextCaptionNote, mb::kOk | mb::kIconWarning);
    canClose = false;
  } else if (PendingCommand != kIdleCommand) {
    ShowMessage(kTextCommunicating, kTextCaptionNote, mb::kOk | mb::kIconWarning);
    canClose = false;
  } else if (SpeedDialChanged || A2dpChanged || GpsChanged) {
    canClose = ShowMessage(kTextConfirmDiscard, kTextCaptionNote,
                           mb::kYesNo | mb::kIconWarning | mb::kDefButton2) == mb::kIdYes;
  } else {
    canClose = true;
  }
}

void TMajorForm::FormClose() {
  closed_ = true;
  ReleaseEngine();
  CheckUSBConnectionTimer->Stop();
  ProgressTimer->Stop();
  BlinkHintTextTimer->Stop();
  // A path the settings file cannot hold is not remembered rather than remembered cut.
  const bool storable = platform::IniFile::CanHold(FirmwareFilePath);
  platform::IniFile(SettingsFilePath)
      .WriteString(kSettingsSection, kFirmwareFileKey, storable ? FirmwareFilePath : std::string());
}

void TMajorForm::closeEvent(QCloseEvent* event) {
  bool canClose = true;
  FormCloseQuery(canClose);
  if (!canClose) {
    event->ignore();
    return;
  }
  // A settings file that cannot be written is reported, and the window still closes: refusing
  // would leave the user no way out while the folder stays unwritable.
  toolkit::RunGuarded([this] { FormClose(); });
  event->accept();
}

int TMajorForm::ShowMessage(TextId text, TextId caption, unsigned flags) {
  return services_.ui.ShowMessageBox(LoadText(text), LoadText(caption), flags);
}

void TMajorForm::FitLabelText(QLabel* label, const std::string& text) {
  const QFontMetrics metrics(label->font());
  const std::string fitted = FitText(text, label->width(), [&](std::string_view line) {
    return metrics.horizontalAdvance(Q(line));
  });
  label->setText(Q(fitted));
}

}  // namespace app
