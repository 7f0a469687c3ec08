#include "app/DeviceProtocol.h"

#include <algorithm>
#include <climits>

#include "resources/TextCatalog.h"

namespace app {
namespace {

constexpr std::string_view kStatusTag = "+FPSTS1=";
constexpr std::size_t kMaxTextField = 255;

bool IsSeparator(char c) {
  return c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsHexDigit(char c) {
  return IsDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

void SkipSeparators(std::string_view& s) {
  while (!s.empty() && IsSeparator(s.front()))
    s.remove_prefix(1);
}

int TakeNumber(std::string_view& s) {
  int value = 0;
  while (!s.empty() && IsDigit(s.front())) {
    const int digit = s.front() - '0';
    value = value > (INT_MAX - digit) / 10 ? INT_MAX : value * 10 + digit;
    s.remove_prefix(1);
  }
  return value;
}

std::string TextField(std::string_view s) {
  return resources::TruncateChars(s, kMaxTextField);
}

}  // namespace

PayloadKind PayloadOf(int code) {
  switch (code) {
    case cmd::ReadModelName:
    case cmd::ReadDeviceAddress:
      return PayloadKind::Text;
    case cmd::ReadSpeedDial1:
    case cmd::ReadSpeedDial2:
    case cmd::ReadSpeedDial3:
    case cmd::WriteSpeedDial1:
    case cmd::WriteSpeedDial2:
    case cmd::WriteSpeedDial3:
      return PayloadKind::HexText;
    default:
      return PayloadKind::Numbers;
  }
}

bool IsOkLine(std::string_view line) {
  return line.substr(0, 2) == "OK";
}

std::optional<StatusLine> ParseStatusLine(std::string_view line) {
  if (line.substr(0, kStatusTag.size()) != kStatusTag) return std::nullopt;
  std::string_view rest = line.substr(kStatusTag.size());
  StatusLine status;
  SkipSeparators(rest);
  status.code = TakeNumber(rest);
  SkipSeparators(rest);
  switch (PayloadOf(status.code)) {
    case PayloadKind::Text:
      status.text = TextField(rest);
      break;
    case PayloadKind::HexText: {
      std::size_t n = 0;
      while (n < rest.size() && IsHexDigit(rest[n]))
        ++n;
      status.text = TextField(rest.substr(0, n));
      break;
    }
    case PayloadKind::Numbers:
      status.first = TakeNumber(rest);
      SkipSeparators(rest);
      status.second = TakeNumber(rest);
      break;
  }
  return status;
}

void LineBuffer::Append(std::string_view bytes) {
  for (char c : bytes) {
    if (discarding_) {
      discarding_ = c != '\n';
      continue;
    }
    if (length_ == kCapacity) {
      const std::size_t lf = FindLineFeed();
      if (lf == kCapacity) {
        // One line longer than the store: none of it can be used.
        length_ = 0;
        discarding_ = c != '\n';
        continue;
      }
      DropFront(lf + 1);
    }
    bytes_[length_++] = c;
  }
}

std::optional<std::string> LineBuffer::TakeLine() {
  const std::size_t lf = FindLineFeed();
  if (lf == kCapacity) return std::nullopt;
  std::string_view line(bytes_.data(), lf);
  line = line.substr(0, line.find('\r'));
  std::string text(line);
  DropFront(lf + 1);
  return text;
}

void LineBuffer::Clear() {
  length_ = 0;
  discarding_ = false;
}

std::size_t LineBuffer::FindLineFeed() const {
  for (std::size_t i = 0; i < length_; ++i) {
    if (bytes_[i] == '\n') return i;
  }
  return kCapacity;
}

void LineBuffer::DropFront(std::size_t count) {
  std::copy(bytes_.begin() + static_cast<std::ptrdiff_t>(count),
            bytes_.begin() + static_cast<std::ptrdiff_t>(length_), bytes_.begin());
  length_ -= count;
}

std::string CommandLine(int code) {
  return "AT+FPCMD1=" + std::to_string(code) + "\r";
}

std::string CommandLine(int code, std::string_view text) {
  return "AT+FPCMD1=" + std::to_string(code) + "," + std::string(text) + "\r";
}

std::string CommandLine(int code, int value) {
  return "AT+FPCMD1=" + std::to_string(code) + "," + std::to_string(value) + "\r";
}

std::string CommandLine(int code, int first, int second) {
  return "AT+FPCMD1=" + std::to_string(code) + "," + std::to_string(first) + "," +
         std::to_string(second) + "\r";
}

}  // namespace app
