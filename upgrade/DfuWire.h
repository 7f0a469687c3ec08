// How control transfers travel to a virtual DFU device over its Unix stream socket. The socket
// stands for the USB port: the device may re-enumerate behind it (a reset closes the connection
// and the host connects again), and it is gone when nothing listens any more.
//
//   request  u8 kind (1 control, 2 reset), then for control: u8 bmRequestType, u8 bRequest,
//            u16 wValue, u16 wIndex, u16 wLength (little-endian), and for host-to-device
//            requests wLength data bytes
//   reply    u8 outcome (0 none, 1 stall, 2 gone, 3 refused by the system; any other value a
//            failure), u16 length, data
//   bytes
//            (device-to-host requests: what the device sent, at most wLength)
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <span>
#include <vector>

#include "upgrade/DfuClass.h"

namespace dfu::wire {

inline constexpr std::uint8_t kControl = 1;
inline constexpr std::uint8_t kReset = 2;
inline constexpr std::size_t kSetupSize = 8;
// Reply outcomes.
inline constexpr std::uint8_t kOk = 0;
inline constexpr std::uint8_t kStall = 1;
inline constexpr std::uint8_t kGone = 2;
inline constexpr std::uint8_t kRefused = 3;

// Writes everything; false on any failure (the peer went away).
inline bool WriteAll(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

enum class ReadResult { Ok, Closed, Timeout };

// Reads exactly `bytes.size()` bytes, waiting at most `timeoutMs` for each piece (-1: forever).
inline ReadResult ReadAll(int fd, std::span<std::uint8_t> bytes, int timeoutMs) {
  while (!bytes.empty()) {
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, timeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) return ReadResult::Timeout;
    if (ready < 0) return ReadResult::Closed;
    const ssize_t n = ::read(fd, bytes.data(), bytes.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return ReadResult::Closed;
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return ReadResult::Ok;
}

inline void PutSetup(std::vector<std::uint8_t>& out, const Setup& s) {
  out.push_back(s.requestType);
  out.push_back(s.request);
  for (std::uint16_t v : {s.value, s.index, s.length}) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
  }
}

inline Setup GetSetup(const std::uint8_t* p) {
  const auto le = [](const std::uint8_t* q) {
    return static_cast<std::uint16_t>(q[0] | q[1] << 8);
  };
  return Setup{p[0], p[1], le(p + 2), le(p + 4), le(p + 6)};
}

}  // namespace dfu::wire
