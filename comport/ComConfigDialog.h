// The line-settings dialog and the ports' default line settings, as the component sees them.
//
// Where the defaults live is the platform's: Windows keeps them with each port's driver
// (Get/SetDefaultCommConfig); Linux keeps none, so the component keeps them in a file of its own
// (comport/backend/posix/PortDefaultsFile.h).
#pragma once

#include <cstdint>
#include <string>

#include "comport/SerialDevice.h"

namespace comport {

// The classic comm-configuration record: a size, a version, the line settings, the provider.
struct TCommConfig {
  std::uint32_t dwSize = 0;
  std::uint16_t wVersion = 0;
  std::uint16_t wReserved = 0;
  TDcb dcb;
  std::uint32_t dwProviderSubType = 0;
  std::uint32_t dwProviderOffset = 0;
  std::uint32_t dwProviderSize = 0;
  // The provider's own bytes (a modem's settings, for example), handed back unchanged.
  std::string providerData;
};
inline constexpr std::uint32_t kCommConfigSize = 52;
inline constexpr std::uint32_t kProviderRs232 = 1;

// Shows the line-settings dialog: rate, data bits, parity, stop bits and flow control. Modal, on
// the UI thread.
class TComDialogService {
 public:
  virtual ~TComDialogService() = default;
  // Opens the dialog for the port `name` on `config`'s line settings. True when the user
  // confirmed; `config` then holds the choices. A cancelled dialog leaves `config` alone.
  virtual bool ShowConfigDialog(const std::string& name, TCommConfig& config) = 0;
};

// 9600 bits per second, 8 data bits, no parity, 1 stop bit, DTR and RTS on, no flow control: what
// a port without defaults of its own starts from.
TDcb BuiltInDefaultDcb();

}  // namespace comport
