// The device command protocol: one command at a time, its answer lines, the chains of commands,
// and the response time-out.
#include "app/DeviceProtocol.h"
#include "app/Mainform.h"
#include "toolkit/qt/Text.h"

namespace app {

using toolkit::qt::S;

namespace {
constexpr std::uint32_t kResponseTimeoutMs = 1000;
}  // namespace

void TMajorForm::SendDeviceCommand() {
  std::string line;
  switch (PendingCommand) {
    case 21:
    case 22:
    case 23: {
      LabeledEdit* edit = PendingCommand == 21   ? SpeedDial1LabeledEdit
                          : PendingCommand == 22 ? SpeedDial2LabeledEdit
                                                 : SpeedDial3LabeledEdit;
      std::string& last = PendingCommand == 21   ? LastSpeedDial1
                          : PendingCommand == 22 ? LastSpeedDial2
                                                 : LastSpeedDial3;
      last = S(edit->text());
      line = CommandLine(PendingCommand, last);
      break;
    }
    case 24:
      LastA2dpPercentage = A2DPAudioMixPercentageUpDown->Position();
      line = CommandLine(PendingCommand, LastA2dpPercentage);
      break;
    case 25:
      LastGpsPercentage = GPSAudioMixPercentageUpDown->Position();
      LastGpsSharing = GPSAudioSharingUpDown->Position();
      line = CommandLine(PendingCommand, LastGpsPercentage, LastGpsSharing);
      break;
    default:
      line = CommandLine(PendingCommand);
      break;
  }
  OkReceived = false;
  WriteCommandLine(line);
  // A running timer keeps counting from the earlier send: the device has 1000 ms in all.
  UartRespTimeoutTimer->SetInterval(kResponseTimeoutMs);
  UartRespTimeoutTimer->Start();
}

}  // namespace app
