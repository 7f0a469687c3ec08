// The USB DFU 1.1 class as both ends speak it: requests, states, status codes and descriptors.
// Shared by the engine and the simulated devices, so both use one vocabulary.
#pragma once

#include <cstdint>

namespace dfu {

// Class-specific requests (DFU 1.1, table 3.2).
enum class Request : std::uint8_t {
  Detach = 0,
  Dnload = 1,
  Upload = 2,
  GetStatus = 3,
  ClrStatus = 4,
  GetState = 5,
  Abort = 6,
};

// Device states (DFU 1.1, section 6.1.2).
enum class State : std::uint8_t {
  AppIdle = 0,
  AppDetach = 1,
  DfuIdle = 2,
  DnloadSync = 3,
  DnBusy = 4,
  DnloadIdle = 5,
  ManifestSync = 6,
  Manifest = 7,
  ManifestWaitReset = 8,
  UploadIdle = 9,
  Error = 10,
};

// bStatus values (DFU 1.1, section 6.1.2); 0 is OK, 1 to 15 are errors.
enum class Status : std::uint8_t {
  Ok = 0,
  ErrTarget = 1,
  ErrFile = 2,
  ErrWrite = 3,
  ErrErase = 4,
  ErrCheckErased = 5,
  ErrProg = 6,
  ErrVerify = 7,
  ErrAddress = 8,
  ErrNotDone = 9,
  ErrFirmware = 10,
  ErrVendor = 11,
  ErrUsbr = 12,
  ErrPor = 13,
  ErrUnknown = 14,
  ErrStalledPkt = 15,
};
inline constexpr int kLastStatus = 15;

// Interface class, subclass and protocols of a DFU-capable interface.
inline constexpr std::uint8_t kInterfaceClass = 0xFE;
inline constexpr std::uint8_t kInterfaceSubClass = 0x01;
inline constexpr std::uint8_t kRuntimeProtocol = 0x01;
inline constexpr std::uint8_t kDfuModeProtocol = 0x02;

// Descriptor types.
inline constexpr std::uint8_t kDeviceDescriptor = 0x01;
inline constexpr std::uint8_t kConfigDescriptor = 0x02;
inline constexpr std::uint8_t kStringDescriptor = 0x03;
inline constexpr std::uint8_t kInterfaceDescriptor = 0x04;
inline constexpr std::uint8_t kFunctionalDescriptor = 0x21;

// bmAttributes of the functional descriptor.
inline constexpr std::uint8_t kCanDownload = 0x01;
inline constexpr std::uint8_t kCanUpload = 0x02;
inline constexpr std::uint8_t kManifestationTolerant = 0x04;
inline constexpr std::uint8_t kWillDetach = 0x08;

// bmRequestType of class requests to an interface, and of the standard GET_DESCRIPTOR.
inline constexpr std::uint8_t kClassOut = 0x21;
inline constexpr std::uint8_t kClassIn = 0xA1;
inline constexpr std::uint8_t kStandardIn = 0x80;
inline constexpr std::uint8_t kGetDescriptor = 0x06;

inline constexpr std::uint16_t kBcdDfu11 = 0x0110;  // the functional descriptor's DFU version

// One control transfer's setup packet; the data stage travels beside it.
struct Setup {
  std::uint8_t requestType = 0;
  std::uint8_t request = 0;
  std::uint16_t value = 0;
  std::uint16_t index = 0;
  std::uint16_t length = 0;
};

}  // namespace dfu
