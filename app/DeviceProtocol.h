// The headset's line protocol, as text: command lines to the device, and what its answer lines
// say. The window decides what to do with them (MainformProtocol.cpp).
//
// A command is "AT+FPCMD1=" with the code, its arguments after commas, and one carriage return.
// An answer line ends at a line feed and its text at the first carriage return. "OK..." lines
// acknowledge; "+FPSTS1=" status lines carry the code answered and its payload; others are noise.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "app/DeviceCommands.h"

namespace app {

inline constexpr int kDeviceIdentity = 89075089;

enum class PayloadKind { Text, HexText, Numbers };

// How the payload of a status line with this response code reads.
PayloadKind PayloadOf(int code);

struct StatusLine {
  int code = 0;
  std::string text;  // Text and HexText payloads, at most 255 characters
  int first = 0;     // Numbers payloads; a missing number reads 0
  int second = 0;
};

bool IsOkLine(std::string_view line);

// The status line's fields, or nothing when the line is no status line. Numbers end at the first
// non-digit and stop growing at the largest int, so no digit run can overflow.
std::optional<StatusLine> ParseStatusLine(std::string_view line);

// Received bytes not yet consumed, oldest first, in a fixed 1024-byte store. A partial line waits
// for its line feed; the window empties the store when it opens the port. Nothing ever overflows:
// - a line that outgrows the store is dropped, and reading resynchronises after its line feed;
// - when the store is full of whole lines nobody took (the port was not ready), the oldest go.
class LineBuffer {
 public:
  static constexpr std::size_t kCapacity = 1024;

  void Append(std::string_view bytes);

  // The first complete line's text (up to its first carriage return), removed with its line
  // feed; nothing while no line is complete.
  std::optional<std::string> TakeLine();

  std::size_t Length() const { return length_; }
  bool Discarding() const { return discarding_; }
  void Clear();

 private:
  std::size_t FindLineFeed() const;
  void DropFront(std::size_t count);

  std::array<char, kCapacity> bytes_{};
  std::size_t length_ = 0;
  bool discarding_ = false;
};

std::string CommandLine(int code);
std::string CommandLine(int code, std::string_view text);
std::string CommandLine(int code, int value);
std::string CommandLine(int code, int first, int second);

}  // namespace app
