// A pseudo-terminal pair for port tests: the port opens the slave side by name, the test plays the
// device on the master side. The test thread is the UI thread and pumps a DispatchQueue.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "comport/ComPort.h"
#include "toolkit/Dispatcher.h"

namespace comport::testing {

inline constexpr std::chrono::seconds kSafety{10};

class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& SlaveName() const { return slaveName_; }
  int Master() const { return master_; }
  // A second descriptor on the slave, opened before the port takes it exclusively, to look at the
  // slave's termios.
  int Observer() const { return observer_; }

  void Write(const std::string& bytes);
  // Reads exactly `count` bytes, failing the test when they do not come within the safety time.
  std::string Read(std::size_t count);
  void CloseMaster();

 private:
  int master_ = -1;
  int observer_ = -1;
  std::string slaveName_;
};

// The output speed of a tty as termios2 holds it, so that custom rates show.
std::uint32_t OutputSpeed(int fd);

class PortTest : public ::testing::Test {
 protected:
  // `watcher` false: a UI queue that cannot watch descriptors, so synchronised events go through a
  // worker and its hand-over, as with a device or loop that offers no descriptor.
  explicit PortTest(bool watcher = true);
  ~PortTest() override;

  // The standard exception report so far; handlers on a worker report there too.
  std::vector<std::string> Reports();

  // Pumps the UI queue until `done`, failing the test after the safety time.
  void PumpUntil(const std::function<bool()>& done);

  toolkit::DispatchQueue ui_;
  PtyPair pty_;
  std::unique_ptr<TComPort> port_;
  std::mutex reportsMutex_;
  std::vector<std::string> reports_;  // the standard exception report, under reportsMutex_
};

// The lines of a log file without their date-and-time prefix.
std::vector<std::string> LogMessages(const std::string& path);

std::string TempPath(const std::string& name);

}  // namespace comport::testing
