// Windows: the headset's line is a COM port (QMR7_HEADSET_COM_PORT) whose far side is a
// pseudo-terminal held by tests/wine/HeadsetLinePeer.cpp, which scripts/wine-test runs beside
// wine; this asks it for each step over a second COM port (QMR7_HEADSET_CONTROL_PORT) and waits
// for its answer.
#include <cstdlib>
#include <stdexcept>

#include "comport/SerialDevice.h"
#include "tests/app/HeadsetLine.h"
#include "tests/app/HeadsetLineWire.h"

namespace app::testing {
namespace {

constexpr const char* kLinePortVariable = "QMR7_HEADSET_COM_PORT";
constexpr const char* kControlPortVariable = "QMR7_HEADSET_CONTROL_PORT";
// A whole request or answer at most this long: a peer that is gone fails the test instead of
// hanging it.
constexpr std::uint32_t kTransferBoundMs = 10'000;

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

// The one connection to the peer, for the whole program: a new device replaces the one before.
class ControlChannel {
 public:
  explicit ControlChannel(const std::string& port) : port_(port) {
    Check(comport::OpenSerialDevice(port, device_), "open");
    comport::TDcb dcb;
    Check(device_->GetState(dcb), "read the line settings of");
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = 0;
    dcb.StopBits = 0;
    dcb.Flags = comport::dcb::fBinary | comport::dcb::DtrEnable | comport::dcb::RtsEnable;
    Check(device_->SetState(dcb), "set the line settings of");
    Check(device_->SetTimeouts({0, 0, kTransferBoundMs, 0, kTransferBoundMs}),
          "set the time-outs of");
    Check(device_->Purge(comport::PurgeFlags(comport::TPurge::ClearInput) |
                         comport::PurgeFlags(comport::TPurge::ClearOutput)),
          "purge");
  }

  // The answer's payload; throws when the peer failed or did not answer.
  std::string Request(char kind, std::string_view payload) {
    const std::string message = wire::Message(kind, payload);
    std::size_t n = 0;
    Check(device_->StartWrite(message.data(), message.size()), "write to");
    Check(device_->WaitWrite(n), "write to");
    if (n != message.size()) throw Broken("could not send a request within the bound");
    const std::string header = Receive(wire::kHeaderSize);
    const auto size = wire::PayloadSize(header);
    if (!size) throw Broken("answered with no header");
    const auto answer = wire::Unhex(Receive(*size * 2));
    if (!answer) throw Broken("answered with no hexadecimal payload");
    if (header[0] == wire::kFailed) throw std::runtime_error("the headset line: " + *answer);
    if (header[0] != wire::kOk) throw Broken("answered with an unknown kind");
    return *answer;
  }

 private:
  std::string Receive(std::size_t count) {
    std::string bytes(count, '\0');
    if (count == 0) return bytes;
    std::size_t n = 0;
    Check(device_->StartRead(bytes.data(), count), "read from");
    Check(device_->WaitRead(n), "read from");
    if (n != count) throw Broken("did not answer within the bound");
    return bytes;
  }

  void Check(const toolkit::Error& error, const char* what) const {
    if (error) {
      throw std::runtime_error(std::string("cannot ") + what + " " + port_ + ", the headset " +
                               "line's control port: " + toolkit::Describe(error));
    }
  }

  std::runtime_error Broken(const char* what) const {
    return std::runtime_error("the headset line's peer behind " + port_ + " " + what);
  }

  std::string port_;
  std::unique_ptr<comport::SerialDevice> device_;
};

ControlChannel& Channel() {
  static ControlChannel channel(Variable(kControlPortVariable));
  return channel;
}

bool Unread(const std::string& answer) {
  return !answer.empty() && answer[0] == '1';
}

class RemoteHeadsetLine final : public HeadsetLine {
 public:
  RemoteHeadsetLine()
      : path_(Variable(kLinePortVariable)), number_(Channel().Request(wire::kNew, {})) {
    if (!wire::NumberOf(number_)) throw std::runtime_error("the headset line: no device number");
  }
  ~RemoteHeadsetLine() override {
    try {
      HangUp();
    } catch (const std::exception&) {
      // The peer ends the device when the next one is made.
    }
  }

  RemoteHeadsetLine(const RemoteHeadsetLine&) = delete;
  RemoteHeadsetLine& operator=(const RemoteHeadsetLine&) = delete;

  std::string Path() const override { return path_; }

  Exchange Step(std::string_view out, bool take) override {
    std::string payload = number_;
    payload += take ? '1' : '0';
    payload += out;
    const std::string answer = Channel().Request(wire::kStep, payload);
    return {answer.empty() ? std::string() : answer.substr(1), Unread(answer)};
  }

  void HangUp() override {
    if (hungUp_) return;
    hungUp_ = true;
    Channel().Request(wire::kHangUp, number_);
  }

 private:
  std::string path_;
  std::string number_;
  bool hungUp_ = false;
};

}  // namespace

std::optional<std::string> HeadsetLineUnavailable() {
  if (Variable(kLinePortVariable).empty() || Variable(kControlPortVariable).empty()) {
    return std::string("no headset line: ") + kLinePortVariable + " and " + kControlPortVariable +
           " name the COM ports of its Linux side (scripts/wine-test runs it)";
  }
  return std::nullopt;
}

std::unique_ptr<HeadsetLine> MakeHeadsetLine() {
  return std::make_unique<RemoteHeadsetLine>();
}

}  // namespace app::testing
