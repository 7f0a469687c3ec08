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

  // The answer's payload; throws when the peer failed or did not answer. Each request costs a
  // few round trips through the wine server, and a cell makes thousands: the answer is read while
  // the request is still being written, and in one piece when it is no longer than its least.
  // After a failure, requests may still be under way into the buffers: the channel stays broken.
  std::string Request(char kind, std::string_view payload) {
    if (broken_) throw Broken("failed before");
    try {
      return Exchange(kind, payload);
    } catch (...) {
      broken_ = true;
      throw;
    }
  }

 private:
  std::string Exchange(char kind, std::string_view payload) {
    message_ = wire::Message(kind, payload);
    answer_.assign(wire::kHeaderSize + wire::LeastAnswer(kind) * 2, '\0');
    Check(device_->StartWrite(message_.data(), message_.size()), "write to");
    Check(device_->StartRead(answer_.data(), answer_.size()), "read from");
    std::size_t written = 0;
    Check(device_->WaitWrite(written), "write to");
    Receive(answer_.size());
    if (written != message_.size()) throw Broken("took no request within the bound");
    const auto size = wire::PayloadSize(answer_);
    if (!size || *size < wire::LeastAnswer(kind)) throw Broken("answered with no header");
    const std::size_t rest = (*size - wire::LeastAnswer(kind)) * 2;
    if (rest > 0) {
      const std::size_t at = answer_.size();
      answer_.resize(at + rest);
      Check(device_->StartRead(answer_.data() + at, rest), "read from");
      Receive(rest);
    }
    const auto bytes = wire::Unhex(std::string_view(answer_).substr(wire::kHeaderSize));
    if (!bytes) throw Broken("answered with no hexadecimal payload");
    if (answer_[0] == wire::kFailed) throw std::runtime_error("the headset line: " + *bytes);
    if (answer_[0] != wire::kOk) throw Broken("answered with an unknown kind");
    return *bytes;
  }

  // Waits for the read started for `count` characters.
  void Receive(std::size_t count) {
    std::size_t n = 0;
    Check(device_->WaitRead(n), "read from");
    if (n != count) throw Broken("did not answer within the bound");
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
  // Before the device, which ends whatever is still under way into them when it goes.
  std::string message_;
  std::string answer_;
  std::unique_ptr<comport::SerialDevice> device_;
  bool broken_ = false;
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
