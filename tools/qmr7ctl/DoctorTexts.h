// The doctor's texts in English and Japanese, in the language qmr7ctl chose (Texts.h).
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace qmr7ctl::doctor {

enum class Words {
  Ok,
  Problem,
  Note,
  Fix,
  // Linux
  HeadsetPortFound,
  HeadsetPortByRule,
  PreselectsVirtual,
  NoHeadsetPort,
  FixConnectHeadset,
  FixConnectUsb,
  PortNotChecked,
  PortOpens,
  PortHeld,
  PortHeldByUnknown,
  FixCloseHolder,
  FixStopModemManager,
  PortDenied,
  FixTriggerRules,
  FixJoinGroup,
  FixLogInAgain,
  PortDoesNotOpen,
  FixReplug,
  RulesCurrent,
  RulesMissing,
  RulesOutdated,
  FixInstallRules,
  RulesMasked,
  FixRemoveRules,
  RunAsRoot,
  ModemManagerAbsent,
  ModemManagerIgnoresPort,
  ModemManagerProbesPort,
  ModemManagerNoPort,
  UsbRuntime,
  UsbDfuMode,
  FixFinishUpgrade,
  UsbDenied,
  NoHeadsetOnUsb,
  NoVirtualHeadset,
  VirtualHeadset,
  // Windows
  ComPortOk,
  ComPortNoDriver,
  ComPortDriverProblem,
  FixComPortDriver,
  NoHeadsetComPort,
  UsbSerialNoDriver,
  WinUsbOk,
  FixWinUsb,
  Elevated,
  NotElevated,
  kCount
};

// The text in the chosen language, %1 to %9 replaced by `args`.
std::string Say(Words id, std::initializer_list<std::string_view> args = {});

// For the catalogue test.
std::string_view EnglishWords(Words id);
std::string_view JapaneseWords(Words id);

}  // namespace qmr7ctl::doctor
