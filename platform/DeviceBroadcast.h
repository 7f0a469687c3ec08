// The device-change broadcast record that comes with the system's device-change message (the
// window message 0x0219) on Windows, decoded into a DeviceChange. Only arrivals (0x8000) and
// completed removals (0x8004) are changes; other event codes are not.
//
// The record starts with its size, its device type and a reserved field, each 32 bits. A port
// (type 3) names itself in UTF-16 from byte 12 on; a device interface (type 5) names its device
// path from byte 28 on, after its class GUID. Other types carry no name here. Every read stays
// within the size the record gives, and a name ends at its terminator or at the record's end.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "platform/DeviceNotifier.h"

namespace platform {

inline constexpr unsigned kDeviceChangeMessage = 0x0219;

// `record` is what the message points at, as many bytes as can be read there (the record's own
// size field bounds it further); empty for a message without one.
std::optional<DeviceChange> DecodeDeviceBroadcast(unsigned eventCode,
                                                  std::span<const unsigned char> record);

// The size field at the head of a record: how many bytes to hand to DecodeDeviceBroadcast.
std::size_t DeviceBroadcastSize(const unsigned char* head);

}  // namespace platform
