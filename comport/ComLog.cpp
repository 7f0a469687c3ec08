// The port log: one line per call, the file opened and closed each time so that it is complete
// after every line and others can read it while the port runs.
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "comport/ComPort.h"

namespace comport {
namespace {

// The locale's short date and long time.
std::string LocalDateTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[64];
  const std::size_t length = std::strftime(text, sizeof text, "%x %X", &local);
  return std::string(text, length);
}

std::string ByteList(const void* data, int count) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::string list;
  for (int i = 0; i < count; ++i) {
    if (i != 0) list += ", ";
    list += '$';
    list += kHex[bytes[i] >> 4];
    list += kHex[bytes[i] & 0x0F];
  }
  return list;
}

[[noreturn]] void RaiseFileError(int code) {
  // The C library's code, on every platform.
  throw EInOutError(code, toolkit::ErrnoText(code));
}

}  // namespace

void TCustomComPort::WriteLog(const std::string& message, const void* data, int count) {
  if (!Log()) return;
  std::string line = LocalDateTime() + ' ' + message;
  if (data != nullptr) line += ByteList(data, count);
  line += "\r\n";
  std::FILE* file = std::fopen(logFile_.c_str(), "ab");
  if (file == nullptr) RaiseFileError(errno);
  const bool written = std::fwrite(line.data(), 1, line.size(), file) == line.size();
  const int writeError = written ? 0 : errno;
  if (std::fclose(file) != 0 && written) RaiseFileError(errno);
  if (!written) RaiseFileError(writeError == 0 ? EIO : writeError);
}

}  // namespace comport
