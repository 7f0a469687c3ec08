// The headset reached through the serial port component, synchronously: qmr7ctl has no event
// loop, so it reads with a deadline instead of waiting for receive events.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/DeviceProtocol.h"
#include "comport/ComPort.h"
#include "tools/qmr7ctl/Session.h"

namespace qmr7ctl {

// Waits the given number of milliseconds; tests pass one that returns at once.
using Sleeper = std::function<void(std::uint32_t)>;

class SerialLink final : public DeviceLink {
 public:
  // Opens `port` as the window does: 115200 baud, 8 data bits, no parity, 1 stop bit; the name,
  // then its device path form; a second pass after a 1000 ms wait. Throws Failure (NoDevice)
  // with the platform's reason when neither pass opens it.
  SerialLink(const std::string& port, const Sleeper& sleep);
  ~SerialLink() override;

  void Send(const std::string& line) override;
  std::optional<std::string> ReadLine(Clock::time_point deadline) override;
  Clock::time_point Now() override { return Clock::now(); }

 private:
  class Port;

  [[noreturn]] void Gone(const std::string& reason);

  std::string name_;
  std::unique_ptr<toolkit::DispatchQueue> dispatcher_;
  std::unique_ptr<Port> port_;
  app::LineBuffer received_;
};

}  // namespace qmr7ctl
