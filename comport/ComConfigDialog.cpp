// The configuration dialogs: the defaults and the dialog itself are the platform's
// (backend/*/SideServices), the order of the steps is the component's.
#include "comport/ComConfigDialog.h"

#include "comport/ComPort.h"
#include "comport/backend/SideServices.h"

namespace comport {
namespace {

// Neither the application nor the platform offers a dialog.
const toolkit::Error kNoDialog{toolkit::ErrorKind::NotSupported, 0,
                               "Can't show a configuration dialog", "show a configuration dialog"};

}  // namespace

TDcb BuiltInDefaultDcb() {
  TDcb dcb;
  dcb.BaudRate = 9600;
  dcb.ByteSize = 8;
  dcb.Flags = dcb::fBinary | dcb::DtrEnable | dcb::RtsEnable;
  dcb.XonChar = 17;
  dcb.XoffChar = 19;
  return dcb;
}

bool TCustomComPort::ConfigDialog() {
  TComDialogService* dialogs =
      services_.dialogs != nullptr ? services_.dialogs : backend::SystemComDialogs();
  if (dialogs == nullptr) RaiseError(kNoDialog);
  const std::string name = ShortDeviceName();
  TCommConfig config;
  config.dwSize = kCommConfigSize;
  Check(backend::GetPortDefaults(name, config, services_));
  CopyDCB(config.dcb, true);
  if (!dialogs->ShowConfigDialog(name, config)) return false;
  CopyDCB(config.dcb, false);
  SetComDCB();
  return true;
}

bool TCustomComPort::DefaultConfigDialog() {
  TComDialogService* dialogs =
      services_.dialogs != nullptr ? services_.dialogs : backend::SystemComDialogs();
  if (dialogs == nullptr) RaiseError(kNoDialog);
  const std::string name = ShortDeviceName();
  TCommConfig config;
  config.dwSize = kCommConfigSize;
  Check(backend::GetPortDefaults(name, config, services_));
  if (!dialogs->ShowConfigDialog(name, config)) return false;
  Check(backend::SetPortDefaults(name, config, services_));
  return true;
}

}  // namespace comport
