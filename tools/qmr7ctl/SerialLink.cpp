#include "tools/qmr7ctl/SerialLink.h"

#include <algorithm>

#include "app/PortRules.h"
#include "tools/qmr7ctl/Failure.h"
#include "tools/qmr7ctl/Texts.h"

namespace qmr7ctl {
namespace {

constexpr int kOpenPasses = 2;
constexpr std::uint32_t kOpenRetryWaitMs = 1000;
constexpr std::size_t kPiece = 256;

}  // namespace

// The component's Read holds a request to its full count, so a read that may rightly end with
// fewer bytes, or none, when its time runs out goes to the port's device, as a derived port may.
class SerialLink::Port final : public comport::TComPort {
 public:
  using TComPort::TComPort;

  // What arrives within `timeoutMs`: as soon as there is anything, up to kPiece bytes; empty when
  // the time passes. Throws EComError when the device fails.
  //
  // Only a total time-out is asked of the driver: the first byte is waited for, then what came
  // with it is taken as queued. The classic "return as soon as any byte is there" setting (interval
  // and multiplier at their maximum) would do both in one request, but not every driver keeps to
  // it: wine's overlapped reads wait for the whole count instead.
  std::string ReadSome(std::uint32_t timeoutMs) {
    CheckActive();
    Timeouts().SetReadInterval(0);
    Timeouts().SetReadMultiplier(0);
    std::string bytes;
    if (InputCount() == 0) {
      Timeouts().SetReadConstant(static_cast<int>(std::max<std::uint32_t>(timeoutMs, 1)));
      bytes = Request(1);
      if (bytes.empty()) return bytes;
    }
    const auto queued = static_cast<std::size_t>(InputCount());
    return bytes + Request(std::min(queued, kPiece - bytes.size()));
  }

 private:
  // One request of `count` bytes, ended by the time-outs set: what it got.
  std::string Request(std::size_t count) {
    std::string bytes(count, '\0');
    if (count == 0) return bytes;
    Check(FHandle->StartRead(bytes.data(), bytes.size()));
    std::size_t transferred = 0;
    Check(FHandle->WaitRead(transferred));
    bytes.resize(transferred);
    return bytes;
  }
};

SerialLink::SerialLink(const std::string& port, const Sleeper& sleep)
    : name_(port), dispatcher_(std::make_unique<toolkit::DispatchQueue>()) {
  port_ = std::make_unique<Port>(nullptr, *dispatcher_);
  port_->SetBaudRate(comport::br115200);
  port_->SetDataBits(comport::db8);
  port_->SetParity(comport::paNone);
  port_->SetStopBits(comport::sb1);
  std::string reason;
  for (int pass = 0; pass < kOpenPasses; ++pass) {
    for (const std::string& form : {port, app::DevicePathForm(port)}) {
      try {
        port_->SetDeviceName(form);
        port_->Open();
        return;
      } catch (const comport::EComError& e) {
        if (reason.empty()) reason = e.what();
      }
    }
    // The wait gives a device that is just arriving time before the retry; none follows the last.
    if (pass + 1 < kOpenPasses) sleep(kOpenRetryWaitMs);
  }
  throw Failure(Exit::NoDevice, Format(Text::CannotOpenPort, {port, reason}));
}

SerialLink::~SerialLink() {
  try {
    port_->Close();
  } catch (const comport::EComError&) {
    // Closing a port whose device has gone fails; there is nothing left to release.
  }
}

void SerialLink::Gone(const std::string& reason) {
  throw Failure(Exit::NoDevice, Format(Text::DeviceGone, {name_, reason}));
}

void SerialLink::Send(const std::string& line) {
  try {
    // What came before the command answered an earlier one, or nothing: it must not count for
    // this one.
    port_->ClearInput();
    received_.Clear();
    port_->WriteString(line);
  } catch (const comport::EComError& e) {
    Gone(e.what());
  }
}

std::optional<std::string> SerialLink::ReadLine(Clock::time_point deadline) {
  for (;;) {
    if (auto line = received_.TakeLine()) return line;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return std::nullopt;
    try {
      received_.Append(port_->ReadSome(static_cast<std::uint32_t>(left.count())));
    } catch (const comport::EComError& e) {
      Gone(e.what());
    }
  }
}

}  // namespace qmr7ctl
