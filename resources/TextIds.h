// Names for the catalogue's text ids. The numbers are the catalogue's own; the names say what each
// text is for.
#pragma once

#include <cstdint>

namespace resources {

using TextId = std::uint16_t;

inline constexpr TextId kTextLanguageName = 20000;
inline constexpr TextId kTextAppTitle = 20001;

inline constexpr TextId kTextSelectComPort = 20101;
inline constexpr TextId kTextOpenComPort = 20102;
inline constexpr TextId kTextCloseComPort = 20103;
inline constexpr TextId kTextCannotOpenPort = 20104;
inline constexpr TextId kTextDeviceTimeout = 20105;
inline constexpr TextId kTextSelectAndOpenPort = 20106;
inline constexpr TextId kTextSaveSuccessful = 20107;
inline constexpr TextId kTextDefaultsRestored = 20108;
inline constexpr TextId kTextConfirmRestore = 20109;

inline constexpr TextId kTextSpeedDialPage = 20201;
inline constexpr TextId kTextA2dpPage = 20202;
inline constexpr TextId kTextGpsPage = 20203;
inline constexpr TextId kTextFirmwarePage = 20205;

inline constexpr TextId kTextSpeedDial1 = 20301;
inline constexpr TextId kTextSpeedDial2 = 20302;
inline constexpr TextId kTextSpeedDial3 = 20303;
inline constexpr TextId kTextA2dpPercentage = 20304;
inline constexpr TextId kTextGpsPercentage = 20305;
inline constexpr TextId kTextGpsSharing = 20306;
inline constexpr TextId kTextYes = 20308;
inline constexpr TextId kTextNo = 20309;
inline constexpr TextId kTextLow = 20311;
inline constexpr TextId kTextMiddle = 20312;
inline constexpr TextId kTextHigh = 20313;
inline constexpr TextId kTextFirmwareVersion = 20314;
inline constexpr TextId kTextCommunicating = 20315;
inline constexpr TextId kTextConfirmDiscard = 20316;
inline constexpr TextId kTextDigitsOnly = 20317;
inline constexpr TextId kTextTooManyDigits = 20318;
inline constexpr TextId kTextSpeedDialNote = 20319;
inline constexpr TextId kTextA2dpNote = 20320;
inline constexpr TextId kTextGpsNote = 20321;

// Accessible names and descriptions, and announcements; never shown.
inline constexpr TextId kTextNoteOfPage = 20401;
inline constexpr TextId kTextPages = 20402;
inline constexpr TextId kTextPercentRange = 20403;
inline constexpr TextId kTextYesOrNo = 20404;
inline constexpr TextId kTextUsbDevice = 20405;
inline constexpr TextId kTextDeviceConfiguration = 20406;
inline constexpr TextId kTextUpgradeProgress = 20407;
inline constexpr TextId kTextDeviceInformation = 20408;
inline constexpr TextId kTextInformation = 20409;
inline constexpr TextId kTextSettingsRead = 20410;

inline constexpr TextId kTextSelectFirmware = 30101;
inline constexpr TextId kTextStartUpgrade = 30102;
inline constexpr TextId kTextSave = 30103;
inline constexpr TextId kTextRestoreDefaults = 30104;
inline constexpr TextId kTextExit = 30105;

inline constexpr TextId kTextReconfiguring = 30201;
inline constexpr TextId kTextDownloading = 30202;
inline constexpr TextId kTextVerifying = 30203;
inline constexpr TextId kTextCaptionNote = 30204;
inline constexpr TextId kTextCaptionError = 30205;
inline constexpr TextId kTextNoUsbDevice = 30206;
inline constexpr TextId kTextBadFirmwareFile = 30207;
inline constexpr TextId kTextUpgradeStartFailed = 30208;
inline constexpr TextId kTextUpgradeFailedDetail = 30209;
inline constexpr TextId kTextWrongProductFamily = 30210;
inline constexpr TextId kTextUpgradeComplete = 30211;
inline constexpr TextId kTextUpgradeRunning = 30212;
inline constexpr TextId kTextAlmostDone = 30213;
inline constexpr TextId kTextWrongModel = 30214;
inline constexpr TextId kTextFirmwareTooLarge = 30215;
inline constexpr TextId kTextHeadsetInDfuMode = 30216;
inline constexpr TextId kTextReplugHeadset = 30217;
inline constexpr TextId kTextNotBackNothingWritten = 30218;
inline constexpr TextId kTextNotBackAfterWrite = 30219;
inline constexpr TextId kTextWinUsbMissing = 30220;
inline constexpr TextId kTextFirmwareFileField = 30231;
inline constexpr TextId kTextPsrFileField = 30232;
inline constexpr TextId kTextDeviceAddressField = 30233;
inline constexpr TextId kTextElapsed = 30234;

}  // namespace resources
