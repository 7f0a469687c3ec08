// The device command protocol: one command at a time, its answer lines, the chains of commands,
// and the response time-out.
#include <algorithm>

#include "app/DeviceProtocol.h"
#include "app/Mainform.h"
#include "resources/TextCatalog.h"
#include "toolkit/Application.h"
#include "toolkit/Exception.h"
#include "toolkit/qt/Text.h"
#include "upgrade/UpgradeRun.h"

namespace app {
namespace {

using namespace resources;
using toolkit::qt::Q;
using toolkit::qt::S;
namespace mb = toolkit::mb;

constexpr std::uint32_t kResponseTimeoutMs = 1000;
constexpr std::uint32_t kUpgradeStartDelayMs = dfu::kBeforeDetection.count();

// The command that follows an answered one in its chain; kIdleCommand where the chain ends.
int NextInChain(int code) {
  switch (code) {
    case cmd::ReadIdentity:
      return cmd::ReadFirmwareVersion;
    case cmd::ReadFirmwareVersion:
      return cmd::ReadModelName;
    case cmd::ReadModelName:
      return cmd::ReadDeviceAddress;
    case cmd::ReadDeviceAddress:
      return cmd::ReadSpeedDial1;
    case cmd::ReadSpeedDial1:
      return cmd::ReadSpeedDial2;
    case cmd::ReadSpeedDial2:
      return cmd::ReadSpeedDial3;
    case cmd::ReadSpeedDial3:
      return cmd::ReadA2dpPercentage;
    case cmd::ReadA2dpPercentage:
      return cmd::ReadGpsAudio;
    case cmd::WriteSpeedDial1:
      return cmd::WriteSpeedDial2;
    case cmd::WriteSpeedDial2:
      return cmd::WriteSpeedDial3;
    case cmd::RestoreDefaults:
      return cmd::ReadIdentity;
    default:
      return kIdleCommand;
  }
}

std::string VersionText(int n) {
  return LoadText(kTextFirmwareVersion) + " " + dfu::VersionNumber(n);
}

}  // namespace

bool TMajorForm::SendDeviceCommand() {
  std::string line;
  switch (PendingCommand) {
    case cmd::WriteSpeedDial1:
    case cmd::WriteSpeedDial2:
    case cmd::WriteSpeedDial3: {
      LabeledEdit* edit = PendingCommand == cmd::WriteSpeedDial1   ? SpeedDial1LabeledEdit
                          : PendingCommand == cmd::WriteSpeedDial2 ? SpeedDial2LabeledEdit
                                                                   : SpeedDial3LabeledEdit;
      std::string& last = PendingCommand == cmd::WriteSpeedDial1   ? LastSpeedDial1
                          : PendingCommand == cmd::WriteSpeedDial2 ? LastSpeedDial2
                                                                   : LastSpeedDial3;
      last = S(edit->text());
      line = CommandLine(PendingCommand, last);
      break;
    }
    case cmd::WriteA2dpPercentage:
      LastA2dpPercentage = A2DPAudioMixPercentageUpDown->Position();
      line = CommandLine(PendingCommand, LastA2dpPercentage);
      break;
    case cmd::WriteGpsAudio:
      LastGpsPercentage = GPSAudioMixPercentageUpDown->Position();
      LastGpsSharing = GPSAudioSharingUpDown->Position();
      line = CommandLine(PendingCommand, LastGpsPercentage, LastGpsSharing);
      break;
    default:
      line = CommandLine(PendingCommand);
      break;
  }
  OkReceived = false;
  try {
    WriteCommandLine(line);
  } catch (const comport::EComError& e) {
    // Nothing will answer a line that never left: a command left pending with no timer to end
    // it would keep the window from closing until a port opened again.
    AbandonDeviceCommand();
    toolkit::HandleException(std::make_exception_ptr(
        toolkit::Exception("Unable to write to " + ComPort1->DeviceName() + ": " + e.what())));
    return false;
  }
  // A running timer keeps counting from the earlier send: the device has 1000 ms in all.
  UartRespTimeoutTimer->SetInterval(kResponseTimeoutMs);
  UartRespTimeoutTimer->Start();
  return true;
}

void TMajorForm::AbandonDeviceCommand() {
  UartRespTimeoutTimer->Stop();
  PendingCommand = kIdleCommand;
  RestorePending = false;
  CloseComPort();
}

}  // namespace app

namespace app {

void TMajorForm::ComPort1RxChar(toolkit::Component* /*sender*/) {
  constexpr int kPiece = 256;
  int waiting = 0;
  try {
    waiting = ComPort1->InputCount();
  } catch (const comport::EComError&) {
    return;  // the port is going away; its removal is handled elsewhere
  }
  char piece[kPiece];
  while (waiting > 0) {
    const int n = std::min(waiting, kPiece);
    ComPort1->Read(piece, n, true);
    RxBuffer.Append(std::string_view(piece, static_cast<std::size_t>(n)));
    waiting -= n;
  }
  if (!PortReady) return;  // kept for when the port is ready again
  HandleReceivedLines();
}

void TMajorForm::HandleReceivedLines() {
  while (auto line = RxBuffer.TakeLine())
    HandleDeviceLine(*line);
}

void TMajorForm::HandleDeviceLine(const std::string& line) {
  if (IsOkLine(line)) {
    OkReceived = true;
    return;
  }
  const auto status = ParseStatusLine(line);
  if (!status || !OkReceived || status->code != PendingCommand) return;
  if (status->code == cmd::ReadIdentity && status->first != kDeviceIdentity) return;

  switch (status->code) {
    case cmd::ReadFirmwareVersion:
      FWVerLabel->setText(Q(VersionText(status->first)));
      break;
    case cmd::ReadModelName:
      DeviceModelName = status->text;
      break;
    case cmd::ReadDeviceAddress:
      RefreshDeviceInfoLabel();
      DeviceAddress = status->text;
      DeviceBdAddrInfoLabel->setText(Q(LoadText(kTextDeviceAddressField) + " : " + DeviceAddress));
      break;
    case cmd::ReadSpeedDial1:
      SpeedDial1LabeledEdit->setText(Q(status->text));
      LastSpeedDial1 = status->text;
      break;
    case cmd::ReadSpeedDial2:
      SpeedDial2LabeledEdit->setText(Q(status->text));
      LastSpeedDial2 = status->text;
      break;
    case cmd::ReadSpeedDial3:
      SpeedDial3LabeledEdit->setText(Q(status->text));
      LastSpeedDial3 = status->text;
      speedDialsRead_ = true;
      UpdateSaveButtons();
      break;
    case cmd::ReadA2dpPercentage:
      A2DPAudioMixPercentageUpDown->SetPosition(status->first);
      LastA2dpPercentage = status->first;
      a2dpRead_ = true;
      UpdateSaveButtons();
      break;
    case cmd::ReadGpsAudio:
      GPSAudioMixPercentageUpDown->SetPosition(status->first);
      GPSAudioSharingUpDown->SetPosition(status->second);
      UpdateSharingText();
      LastGpsPercentage = status->first;
      LastGpsSharing = status->second;
      gpsRead_ = true;
      UpdateSaveButtons();
      break;
    default:
      break;
  }

  UartRespTimeoutTimer->Stop();
  const int next = NextInChain(status->code);
  if (next != kIdleCommand) {
    PendingCommand = next;
    SendDeviceCommand();
    return;
  }

  PendingCommand = kIdleCommand;
  switch (status->code) {
    case cmd::ReadGpsAudio:
      // Filling the pages raised their change flags.
      SpeedDialChanged = false;
      A2dpChanged = false;
      GpsChanged = false;
      AnnounceSettingsRead();
      if (RestorePending) {
        RestorePending = false;
        ShowMessage(kTextDefaultsRestored, kTextCaptionNote, mb::kOk | mb::kIconInformation);
      }
      break;
    case cmd::WriteSpeedDial3:
    case cmd::WriteA2dpPercentage:
    case cmd::WriteGpsAudio:
      ShowMessage(kTextSaveSuccessful, kTextCaptionNote, mb::kOk | mb::kIconInformation);
      break;
    case cmd::EnterUpgradeMode:
      SavedCursor = services_.ui.CurrentCursor();
      services_.ui.SetCursor(toolkit::Cursor::Wait);
      DFUCloseComPortTimer->Start();
      StartDFUTimer->Start();
      StartDFUTimer->SetInterval(kUpgradeStartDelayMs);
      break;
    default:
      break;
  }
}

void TMajorForm::UartRespTimeoutTimerTimer() {
  // A restore that got no answer did not happen; the next plain reconnect must not report it.
  AbandonDeviceCommand();
  ShowMessage(kTextDeviceTimeout, kTextCaptionError, mb::kOk | mb::kIconWarning);
}

}  // namespace app
