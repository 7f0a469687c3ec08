// The engine's code tables: result, operation and sub-operation codes with their names. The names
// are what a failure message shows; a code is a row's position. They belong to the interface, not
// to our engine, so the window names the codes of any engine that speaks it.
#pragma once

#include <cstdint>
#include <string>

namespace dfu {

namespace result {
inline constexpr std::uint32_t kSuccess = 0;
inline constexpr std::uint32_t kAborted = 1;
inline constexpr std::uint32_t kFailUnknown = 2;
inline constexpr std::uint32_t kFailOs = 4;
inline constexpr std::uint32_t kFailException = 5;
inline constexpr std::uint32_t kFailNoTransport = 6;
inline constexpr std::uint32_t kFailNoUpload = 7;
inline constexpr std::uint32_t kFailNoDownload = 8;
inline constexpr std::uint32_t kFailFileOpen = 10;
inline constexpr std::uint32_t kFailFileShort = 11;
inline constexpr std::uint32_t kFailFileSuffix = 12;
inline constexpr std::uint32_t kFailFileRead = 13;
inline constexpr std::uint32_t kFailFileCrc = 14;
inline constexpr std::uint32_t kFailFileVendor = 15;
inline constexpr std::uint32_t kFailFileProduct = 16;
inline constexpr std::uint32_t kFailReplyShort = 17;
inline constexpr std::uint32_t kFailReplyLong = 18;
inline constexpr std::uint32_t kFailDfuTarget = 19;  // bStatus 1; 2 to 15 follow, see ForStatus
inline constexpr std::uint32_t kFailDfuVendorNum = 29;
inline constexpr std::uint32_t kFailDfuVendorStr = 30;
inline constexpr std::uint32_t kFailDfuFirmware = 28;
inline constexpr std::uint32_t kFailDfuUnknown = 33;
inline constexpr std::uint32_t kFailDfuStalledPkt = 34;
inline constexpr std::uint32_t kFailUsbOpen = 35;
inline constexpr std::uint32_t kFailUsbId = 36;
inline constexpr std::uint32_t kFailUsbDescShort = 37;
inline constexpr std::uint32_t kFailUsbDescLong = 38;
inline constexpr std::uint32_t kFailUsbDescBad = 39;
inline constexpr std::uint32_t kFailUsbNoDfu = 40;
inline constexpr std::uint32_t kFailUsbNone = 41;
inline constexpr std::uint32_t kFailModeNoDfu = 81;
inline constexpr std::uint32_t kFailModeNotIdle = 82;
inline constexpr std::uint32_t kFailModeNotDnloadBusy = 83;
inline constexpr std::uint32_t kFailModeNotDnloadIdle = 84;
inline constexpr std::uint32_t kFailModeNotManifest = 85;
inline constexpr std::uint32_t kCount = 118;

// A device's error bStatus (1 to 15) as a result; errVENDOR names whether it came with a text.
// Any other value stands for an unexplained error state: fail_dfu_unknown.
std::uint32_t ForStatus(std::uint8_t status, bool hasString);
}  // namespace result

namespace operation {
inline constexpr std::uint32_t kReady = 0;
inline constexpr std::uint32_t kReconfigureConnect = 1;
inline constexpr std::uint32_t kReconfigureStartRuntime = 2;
inline constexpr std::uint32_t kReconfigureStartDfu = 3;
inline constexpr std::uint32_t kReconfigureChecking = 4;
inline constexpr std::uint32_t kDownloadPrepare = 8;
inline constexpr std::uint32_t kDownloadProgress = 9;
inline constexpr std::uint32_t kDownloadVerify = 10;
inline constexpr std::uint32_t kManifestStartRuntime = 11;
inline constexpr std::uint32_t kManifestRetryRuntime = 12;
inline constexpr std::uint32_t kManifestFail = 13;
inline constexpr std::uint32_t kCount = 16;
}  // namespace operation

namespace suboperation {
inline constexpr std::uint32_t kNone = 0;
inline constexpr std::uint32_t kUsbWait = 5;
inline constexpr std::uint32_t kUsbOpen = 6;
inline constexpr std::uint32_t kUsbCheck = 7;
inline constexpr std::uint32_t kEstablished = 8;
inline constexpr std::uint32_t kDownloadProcessing = 9;
inline constexpr std::uint32_t kCount = 10;
}  // namespace suboperation

// The row's name, or "unknown (<code>)" for a code past the table's end.
std::string ResultName(std::uint32_t code);
std::string OperationName(std::uint32_t code);
std::string SubOperationName(std::uint32_t code);

}  // namespace dfu
