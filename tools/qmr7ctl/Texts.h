// qmr7ctl's own texts in English and Japanese: its messages, errors and output labels. The
// language is the window's choice (platform::DetectUiLanguage), made once at start.
//
// A text may hold %1 to %9, replaced by Format's arguments, so a translation can put them in
// the order its language needs.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "resources/TextCatalog.h"

namespace qmr7ctl {

enum class Text {
  // Command line
  UnknownCommand,
  UnknownOption,
  OptionNeedsValue,
  OptionNotForCommand,
  WrongArgumentCount,
  NotAnAssignment,
  UnknownSetting,
  SettingTwice,
  NothingToSet,
  TryHelp,
  NotAvailable,
  // Setting values
  SpeedDialDigitsOnly,
  SpeedDialTooLong,
  PercentageRange,
  SharingYesNo,
  // Ports
  NoPorts,
  NoHeadsetPort,
  SeveralHeadsetPorts,
  CannotOpenPort,
  // The headset
  Timeout,
  WrongIdentity,
  CommandRefused,
  DeviceGone,
  DeviceValueOutOfRange,
  // Files
  FileExists,
  CannotWrite,
  CannotRead,
  NotABackup,
  BackupFromNewerVersion,
  BackupBadValue,
  BadFirmwareFile,
  WrongProductFamily,
  WrongModel,
  // Results
  Saved,
  DefaultsRestored,
  BackedUp,
  Restored,
  FirmwarePasses,
  // Labels
  LabelPort,
  LabelIdentity,
  LabelFirmwareVersion,
  LabelModel,
  LabelAddress,
  LabelSpeedDial1,
  LabelSpeedDial2,
  LabelSpeedDial3,
  LabelA2dp,
  LabelGps,
  LabelSharing,
  Yes,
  No,
  NoPortsListed,
  LabelFile,
  LabelDescription,
  LabelFirmwareName,
  LabelPsrName,
  LabelImageSize,
  LabelUsbIds,
  LabelEngineCheck,
  LabelFamilyCheck,
  LabelModelCheck,
  Passed,
  Failed,
  // Firmware upgrade
  UpgradeRequested,
  LookingOnUsb,
  FoundOnUsb,
  FoundInDfuMode,
  WaitingForPort,
  PortNotBack,
  InterruptWarning,
  InterruptStopped,
  InterruptReconnect,
  TimeLeft,
  LabelPreviousVersion,
  // The headset on USB without WinUSB on its DFU interface, and how that interface stands
  WinUsbMissing,
  DriverNone,
  DriverNamed,
  DriverProblemCode,
  DriverWithoutInterfaceClass,
  BadDeviceIds,
  ReplugHeadset,
  NotBackBeforeWrite,
  NotBackAfterWrite,
  StoppedBeforeWrite,
  StoppedInDownload,
  StoppedAfterWrite,
  UnlistedUsbIds,
  kCount
};

void SetLanguage(resources::Language language);
resources::Language Language();

std::string Get(Text id);
std::string Format(Text id, std::initializer_list<std::string_view> args);
// `pattern` with %1 to %9 replaced by `args`: Format's work, for catalogues of their own.
std::string FillPlaceholders(std::string_view pattern,
                             std::initializer_list<std::string_view> args);

// Columns a text takes in a terminal: East Asian wide characters take two.
std::size_t DisplayWidth(std::string_view text);

// Text that came from outside (files, devices, arguments, the system) as a terminal may be given
// it: every control character, C0, DEL and the C1 controls U+0080 to U+009F, and every byte that
// starts no UTF-8 character (a lone 0x9B is CSI to a terminal that reads 8-bit controls) becomes
// '?'. Line ends too: a message is one line. Everything qmr7ctl prints as text goes through it.
std::string Printable(std::string_view text);

// A text of the window's catalogue in the chosen language, on one line.
std::string Catalog(resources::TextId id);

// The texts of one language, for the catalogue test.
std::string_view EnglishText(Text id);
std::string_view JapaneseText(Text id);

}  // namespace qmr7ctl
