// The headset's command codes: the numbers after "AT+FPCMD1=" and in "+FPSTS1=" answers. The
// window and the virtual headset both name codes through this enum; each keeps its own parser, so
// the headset stays an independent check of the window's reading of the protocol.
//
// Plain ints on the wire and in PendingCommand, hence an unscoped enum in its own namespace.
#pragma once

namespace app::cmd {

enum DeviceCommand : int {
  ReadSpeedDial1 = 1,
  ReadSpeedDial2 = 2,
  ReadSpeedDial3 = 3,
  ReadA2dpPercentage = 4,
  ReadGpsAudio = 5,  // GPS percentage and GPS audio sharing
  ReadIdentity = 7,
  ReadFirmwareVersion = 8,
  ReadModelName = 9,
  ReadDeviceAddress = 10,
  EnterUpgradeMode = 20,
  WriteSpeedDial1 = 21,
  WriteSpeedDial2 = 22,
  WriteSpeedDial3 = 23,
  WriteA2dpPercentage = 24,
  WriteGpsAudio = 25,
  RestoreDefaults = 27,
};

// The protocol's code table, code by code.
static_assert(ReadSpeedDial1 == 1 && ReadSpeedDial2 == 2 && ReadSpeedDial3 == 3);
static_assert(ReadA2dpPercentage == 4 && ReadGpsAudio == 5);
static_assert(ReadIdentity == 7 && ReadFirmwareVersion == 8 && ReadModelName == 9 &&
              ReadDeviceAddress == 10);
static_assert(EnterUpgradeMode == 20);
static_assert(WriteSpeedDial1 == 21 && WriteSpeedDial2 == 22 && WriteSpeedDial3 == 23);
static_assert(WriteA2dpPercentage == 24 && WriteGpsAudio == 25 && RestoreDefaults == 27);
// The speed dials are numbered alike for reading and writing, which both sides rely on.
static_assert(WriteSpeedDial1 - ReadSpeedDial1 == WriteSpeedDial3 - ReadSpeedDial3);

}  // namespace app::cmd
