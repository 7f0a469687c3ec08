#include "PtyFixture.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

#include "tests/support/PumpUntil.h"
#include "tests/support/TempDir.h"
#include "toolkit/Application.h"

namespace comport::testing {

PtyPair::PtyPair() {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
    ADD_FAILURE() << "no pseudo-terminal: " << std::strerror(errno);
    return;
  }
  slaveName_ = ::ptsname(master_);
  observer_ = ::open(slaveName_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (observer_ < 0) ADD_FAILURE() << "cannot open " << slaveName_;
}

PtyPair::~PtyPair() {
  if (observer_ >= 0) ::close(observer_);
  CloseMaster();
}

void PtyPair::CloseMaster() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

void PtyPair::Write(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    ASSERT_GT(n, 0) << std::strerror(errno);
    done += static_cast<std::size_t>(n);
  }
}

std::string PtyPair::Read(std::size_t count) {
  std::string bytes;
  const auto deadline = std::chrono::steady_clock::now() + kSafety;
  while (bytes.size() < count) {
    pollfd p{master_, POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      ADD_FAILURE() << "master got " << bytes.size() << " of " << count << " bytes";
      return bytes;
    }
    char buffer[4096];
    const ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - bytes.size()));
    if (n <= 0) {
      ADD_FAILURE() << "master read failed: " << std::strerror(errno);
      return bytes;
    }
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return bytes;
}

PortTest::PortTest(bool watcher) : ui_({}, watcher) {
  toolkit::SetExceptionHandler([this](const std::string& text) {
    std::lock_guard lock(reportsMutex_);
    reports_.push_back(text);
  });
  port_ = std::make_unique<TComPort>(nullptr, ui_);
  port_->SetDeviceName(pty_.SlaveName());
}

PortTest::~PortTest() {
  port_.reset();
  toolkit::SetExceptionHandler({});
}

std::vector<std::string> PortTest::Reports() {
  std::lock_guard lock(reportsMutex_);
  return reports_;
}

void PortTest::PumpUntil(const std::function<bool()>& done) {
  ASSERT_TRUE(testsupport::PumpUntil(ui_, done, kSafety));
}

std::vector<std::string> LogMessages(const std::string& path) {
  std::vector<std::string> messages;
  std::ifstream file(path, std::ios::binary);
  std::string line;
  while (std::getline(file, line)) {
    EXPECT_FALSE(line.empty() || line.back() != '\r') << "line not ended by CR LF: " << line;
    if (!line.empty()) line.pop_back();
    // Date and time come first, then one space and the message: the message starts after the
    // time's last digit and the space that follows it.
    const auto space = line.find(' ', line.find(':'));
    messages.push_back(space == std::string::npos ? line : line.substr(space + 1));
  }
  return messages;
}

std::string TempPath(const std::string& name) {
  // One folder per test program, removed with whatever a failed test left in it.
  static const testsupport::TempDir dir;
  const std::string path = dir / name;
  std::remove(path.c_str());
  return path;
}

}  // namespace comport::testing
