// The messages between win32/RemoteHeadsetLine and tests/wine/HeadsetLinePeer.cpp: one request,
// then its answer, over a COM port whose far side is a pseudo-terminal.
//
// A message is a letter, six hexadecimal digits giving the payload's length in bytes, and the
// payload in hexadecimal: text only, so that no setting of the terminal between the two ends (echo,
// flow control, line endings) can change it.
//
//   request                                  answer (kOk; kFailed with the reason as payload)
//   kNew                                     the new device's number (4 bytes)
//   kStep    number, take ('0'/'1'), bytes   unread ('0'/'1'), the bytes taken
//   kHangUp  number                          nothing (a device that was replaced stays as it is)
//
// An answer's payload is never shorter than LeastAnswer of its request, a reason included, so
// that the asking side may read that much in one piece.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace app::testing::wire {

inline constexpr char kNew = 'N';
inline constexpr char kStep = 'S';
inline constexpr char kHangUp = 'H';
inline constexpr char kOk = 'K';
inline constexpr char kFailed = 'E';

inline constexpr std::size_t kHeaderSize = 7;

inline constexpr std::size_t LeastAnswer(char request) {
  return request == kNew ? 4 : request == kStep ? 1 : 0;
}

inline std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    text += kDigits[b >> 4];
    text += kDigits[b & 0xF];
  }
  return text;
}

inline int Digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Nothing for text that is not hexadecimal.
inline std::optional<std::string> Unhex(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::string bytes;
  bytes.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = Digit(text[i]);
    const int low = Digit(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes += static_cast<char>(high << 4 | low);
  }
  return bytes;
}

inline std::string Message(char kind, std::string_view payload) {
  const std::size_t n = payload.size();
  const char length[] = {static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                         static_cast<char>(n)};
  return kind + Hex(std::string_view(length, sizeof length)) + Hex(payload);
}

// The payload's length in bytes from a message's first kHeaderSize characters; nothing when they
// are no header.
inline std::optional<std::size_t> PayloadSize(std::string_view header) {
  if (header.size() < kHeaderSize) return std::nullopt;
  const auto length = Unhex(header.substr(1, kHeaderSize - 1));
  if (!length) return std::nullopt;
  std::size_t n = 0;
  for (const char c : *length)
    n = n << 8 | static_cast<unsigned char>(c);
  return n;
}

inline std::string Number(std::uint32_t value) {
  const char bytes[] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                        static_cast<char>(value >> 8), static_cast<char>(value)};
  return std::string(bytes, sizeof bytes);
}

// The number a payload starts with; nothing when it is too short.
inline std::optional<std::uint32_t> NumberOf(std::string_view payload) {
  if (payload.size() < 4) return std::nullopt;
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i)
    value = value << 8 | static_cast<unsigned char>(payload[i]);
  return value;
}

}  // namespace app::testing::wire
