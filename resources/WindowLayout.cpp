#include "resources/WindowLayout.h"

#include <algorithm>
#include <array>

namespace resources {
namespace {

using R = Role;
constexpr int kNone = kNoTabStop;

constexpr std::string_view kSpeedDialPage = "SpeedDialSettingTabSheet";
constexpr std::string_view kA2dpPage = "A2DPAudioSettingTabSheet";
constexpr std::string_view kGpsPage = "GPSAudioSettingTabSheet";
constexpr std::string_view kFirmwarePage = "DeviceFirmwareUpgradeTabSheet";

// clang-format off
constexpr std::array<ControlLayout, 38> kControls = {{
  // name                                parent          role            left top  width height tab    design text                  edit  text at start
  {"SelectComPortLabel",                 "",             R::StaticText,    8,  24, 137,  18, kNone, "SelectComPortLabel",          "",   kTextSelectComPort},
  {"FWVerLabel",                         "",             R::StaticText,   16, 512, 217,  13, kNone, "",                            "",   kNoText},
  {"PaintBox1",                          "",             R::ClickArea,    16, 464, 801,  41, kNone, "",                            "",   kNoText},
  {"DeviceInfoLabel",                    "",             R::StaticText,   16, 464, 793,  18, kNone, "DeviceInfoLabel",             "",   kNoText},
  {"DeviceBdAddrInfoLabel",              "",             R::StaticText,   16, 480, 441,  18, kNone, "DeviceBdAddrInfoLabel",       "",   kNoText},
  {"PageControl1",                       "",             R::PageControl,  16, 128, 801, 329,     3, "",                            "",   kNoText},
  {"ComPortListBox",                     "",             R::ListBox,     160,  16, 345,  97,     0, "",                            "",   kNoText},
  {"OpenComPortButton",                  "",             R::Button,      528,  16, 113,  33,     1, "Open COM Port",               "",   kTextOpenComPort},
  {"CloseComPortButton",                 "",             R::Button,      528,  80, 113,  33,     2, "Close COM Port",              "",   kTextCloseComPort},
  {"InfoMemo",                           "",             R::Memo,         24, 560, 417,  97,     6, "",                            "",   kNoText},
  {"ExitButton",                         "",             R::Button,      640, 488, 177,  41,     5, "Exit",                        "",   kTextExit},
  {"RestoreDefaultButton",               "",             R::Button,      424, 488, 177,  41,     4, "Restore Default",             "",   kTextRestoreDefaults},

  {"SpeedDial1LabeledEdit",              kSpeedDialPage, R::LabeledEdit, 152,  40, 377,  21,     0, "Speed Dial 1 ",               "",   kTextSpeedDial1},
  {"SpeedDial2LabeledEdit",              kSpeedDialPage, R::LabeledEdit, 152,  88, 377,  21,     1, "Speed Dial 2 ",               "",   kTextSpeedDial2},
  {"SpeedDial3LabeledEdit",              kSpeedDialPage, R::LabeledEdit, 152, 136, 377,  21,     2, "Speed Dial 3 ",               "",   kTextSpeedDial3},
  {"SaveSpeedDialSettingButton",         kSpeedDialPage, R::Button,      616, 248, 145,  41,     3, "Save",                        "",   kTextSave},
  {"SpeedDialSettingMemo",               kSpeedDialPage, R::NoteMemo,      8, 192, 601, 105, kNone, "",                            "",   kTextSpeedDialNote},

  {"A2DPAudioMixPercentageLabeledEdit",  kA2dpPage,      R::LabeledEdit, 324,  40,  49,  21,     0, "A2DP Audio Mix Percentage ",  "20", kTextA2dpPercentage},
  {"A2DPAudioMixPercentageUpDown",       kA2dpPage,      R::UpDown,      373,  40,  16,  21,     1, "",                            "",   kNoText},
  {"SaveA2dpAudioSettingButton",         kA2dpPage,      R::Button,      616, 248, 145,  41,     2, "Save",                        "",   kTextSave},
  {"A2DPAudioSettingMemo",               kA2dpPage,      R::NoteMemo,      8, 192, 601, 105, kNone, "",                            "",   kTextA2dpNote},

  {"GPSAudioMixPercentageLabeledEdit",   kGpsPage,       R::LabeledEdit, 324,  40,  49,  21,     0, "GPS Audio Mix Percentage ",   "20", kTextGpsPercentage},
  {"GPSAudioMixPercentageUpDown",        kGpsPage,       R::UpDown,      373,  40,  16,  21,     1, "",                            "",   kNoText},
  {"GPSAudioSharingLabeledEdit",         kGpsPage,       R::LabeledEdit, 324,  88,  49,  21,     2, "Audio Sharing ",              "1",  kTextGpsSharing},
  {"GPSAudioSharingUpDown",              kGpsPage,       R::UpDown,      373,  88,  17,  21,     3, "",                            "",   kNoText},
  {"SaveGPSAudioSettingButton",          kGpsPage,       R::Button,      616, 248, 145,  41,     4, "Save",                        "",   kTextSave},
  {"GPSAudioSettingMemo",                kGpsPage,       R::NoteMemo,      8, 192, 601, 105, kNone, "",                            "",   kTextGpsNote},

  {"OpenDfuFileButton",                  kFirmwarePage,  R::Button,        8,  24, 209,  41,     1, "Select firmware file...",     "",   kTextSelectFirmware},
  {"DFUFileNameLabel",                   kFirmwarePage,  R::StaticText,  232,  24, 553,  41, kNone, "",                            "",   kNoText},
  {"DfuDeviceLabel",                     kFirmwarePage,  R::StaticText,    8,  72, 777,  18, kNone, "",                            "",   kNoText},
  {"ConfigInfoLabel",                    kFirmwarePage,  R::StaticText,    8,  96, 777,  18, kNone, "ConfigInfoLabel",             "",   kNoText},
  {"BdAddrInfoLabel",                    kFirmwarePage,  R::StaticText,    8, 120, 777,  18, kNone, "BdAddrInfoLabel",             "",   kNoText},
  {"StartDFUUpgradeButton",              kFirmwarePage,  R::Button,        8, 152, 209,  41,     0, "Start firmware upgrade",      "",   kTextStartUpgrade},
  {"DfuModeLabel",                       kFirmwarePage,  R::StaticText,  232, 164, 545,  18, kNone, "",                            "",   kNoText},
  {"InfoLabel",                          kFirmwarePage,  R::StaticText,    8, 216, 625,  18, kNone, "Information",                 "",   kNoText},
  {"ElapsedLabel",                       kFirmwarePage,  R::StaticText,  640, 216, 137,  18, kNone, "",                            "",   kNoText},
  {"UpgradeProgressBar",                 kFirmwarePage,  R::ProgressBar,   8, 240, 769,  17,     2, "",                            "",   kNoText},
  {"HintLabel",                          kFirmwarePage,  R::StaticText,    8, 272, 769,  18, kNone, "Hint",                        "",   kNoText},
}};
// clang-format on

// Within the window and within each page, the tab stops are 0, 1, 2, ... without gaps or repeats.
constexpr bool TabOrdersAreDense(std::string_view parent) {
  int stops = 0;
  int highest = -1;
  for (const ControlLayout& c : kControls) {
    if (c.parent != parent || c.tabOrder == kNoTabStop) continue;
    ++stops;
    highest = std::max(highest, c.tabOrder);
    for (const ControlLayout& other : kControls) {
      if (&other != &c && other.parent == parent && other.tabOrder == c.tabOrder) return false;
    }
  }
  return stops > 0 && highest == stops - 1;
}
static_assert(TabOrdersAreDense("") && TabOrdersAreDense(kSpeedDialPage) &&
              TabOrdersAreDense(kA2dpPage) && TabOrdersAreDense(kGpsPage) &&
              TabOrdersAreDense(kFirmwarePage));

constexpr std::array<TabSheetLayout, 4> kPages = {{
    {kSpeedDialPage, "Speed Dial Setting", kTextSpeedDialPage},
    {kA2dpPage, "A2DP Audio Setting", kTextA2dpPage},
    {kGpsPage, "GPS Audio Setting", kTextGpsPage},
    {kFirmwarePage, "Device Firmware Upgrade", kTextFirmwarePage},
}};

constexpr std::array<UpDownLayout, 3> kUpDowns = {{
    {"A2DPAudioMixPercentageUpDown", "A2DPAudioMixPercentageLabeledEdit", 1, 100, 20},
    {"GPSAudioMixPercentageUpDown", "GPSAudioMixPercentageLabeledEdit", 1, 100, 20},
    {"GPSAudioSharingUpDown", "", -1, 2, 1},
}};

constexpr std::array<TimerLayout, 7> kTimers = {{
    {"CheckUSBConnectionTimer", false, 10},
    {"ProgressTimer", false, 100},
    {"BlinkHintTextTimer", true, 600},
    {"UartRespTimeoutTimer", false, 1000},
    {"StartDFUTimer", false, 10},
    {"DFUCloseComPortTimer", false, 1},
    {"ShowPromptTimer", false, 100},
}};

constexpr std::array<SignalIndicatorLayout, 1> kIndicators = {{
    {"ComSignal1", 100, 0},
}};

constexpr WindowLayout kWindow = {
    837,
    542,
    "VNX4 Configure Tool",
    "MS Sans Serif",
    11,
    3,
    "firmware file (*.dfu)|*.dfu",
    kControls,
    kPages,
    kUpDowns,
    kTimers,
    kIndicators,
};

}  // namespace

const WindowLayout& MainWindowLayout() {
  return kWindow;
}

const ControlLayout* FindControl(std::string_view name) {
  const auto it = std::find_if(kControls.begin(), kControls.end(),
                               [&](const ControlLayout& c) { return c.name == name; });
  return it == kControls.end() ? nullptr : &*it;
}

}  // namespace resources
