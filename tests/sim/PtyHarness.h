// Test helpers for talking to a virtual headset through its pty, as a plain file descriptor.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "sim/testing/GatedPacer.h"

namespace sim::testing {

// Generous: only a broken headset ever makes a test wait this long.
inline constexpr int kSafetyTimeoutMs = 5000;

// The tool's end of the port: the slave side opened like a serial port.
class ToolPort {
 public:
  explicit ToolPort(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(fd_, 0) << path;
    termios tio{};
    if (fd_ >= 0 && ::tcgetattr(fd_, &tio) == 0) {
      ::cfmakeraw(&tio);
      ::tcsetattr(fd_, TCSANOW, &tio);
    }
  }
  ~ToolPort() { Close(); }
  ToolPort(const ToolPort&) = delete;
  ToolPort& operator=(const ToolPort&) = delete;

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  void Send(const std::string& bytes) {
    ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // The raw bytes of the next `count` lines, each up to and including its LF.
  std::string ReadLines(int count) {
    std::string out;
    while (count > 0) {
      const auto lf = buffer_.find('\n');
      if (lf != std::string::npos) {
        out += buffer_.substr(0, lf + 1);
        buffer_.erase(0, lf + 1);
        --count;
        continue;
      }
      if (!Fill()) {
        ADD_FAILURE() << "no complete line; have \"" << out << buffer_ << "\"";
        return out + buffer_;
      }
    }
    return out;
  }

  // One line without its CR LF.
  std::string ReadLine() {
    std::string line = ReadLines(1);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
      line.pop_back();
    return line;
  }

  // What the next read brings (after waiting for it).
  std::string ReadSome() {
    if (buffer_.empty() && !Fill()) ADD_FAILURE() << "nothing arrived";
    std::string out;
    out.swap(buffer_);
    return out;
  }

  // Sends one command and returns the answer's lines (the tool's two: OK and status).
  std::string Transact(const std::string& command, int lines = 2) {
    Send(command + "\r");
    return ReadLines(lines);
  }

  bool HasData() {
    pollfd p{fd_, POLLIN, 0};
    return !buffer_.empty() ||
           (::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0 && (p.revents & POLLHUP) == 0);
  }

  // Waits until the other side goes away; false when data comes first or nothing happens.
  bool WaitForHangup() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, kSafetyTimeoutMs) != 1) return false;
    if ((p.revents & POLLHUP) == 0) {
      char c;
      const ssize_t n = ::read(fd_, &c, 1);
      ADD_FAILURE() << "data before the hang-up: " << (n == 1 ? std::string(1, c) : "?");
      return false;
    }
    return buffer_.empty();
  }

 private:
  bool Fill() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, kSafetyTimeoutMs) != 1) return false;
    char chunk[512];
    const ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  int fd_ = -1;
  std::string buffer_;
};

}  // namespace sim::testing
