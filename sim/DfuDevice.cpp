#include "sim/DfuDevice.h"

#include <charconv>

#include "upgrade/DfuFile.h"

namespace sim {
namespace {

using dfu::Request;
using State = dfu::State;
using Status = dfu::Status;

constexpr std::uint8_t kConfigStringIndex = 4;
constexpr char kManufacturer[] = "QM-R7";
constexpr char kProduct[] = "QM-R7 virtual headset";
constexpr char kLoaderManufacturer[] = "Loader";
constexpr char kLoaderProductName[] = "USB DFU boot loader";

void Put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

std::vector<std::uint8_t> StringDescriptor(const std::string& text) {
  std::vector<std::uint8_t> d{static_cast<std::uint8_t>(2 + 2 * text.size()),
                              dfu::kStringDescriptor};
  for (const char c : text)
    Put16(d, static_cast<std::uint8_t>(c));
  return d;
}

template <typename T>
bool Number(std::string_view text, T& value) {
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && ptr == text.data() + text.size() && !text.empty();
}

}  // namespace

std::string AddDfuOption(std::string_view text, DfuDeviceConfig& config, DfuFaults& faults) {
  const auto eq = text.find('=');
  const auto at = text.find('@');
  const std::string_view name = text.substr(0, std::min(eq, at));
  const std::string_view value =
      eq == std::string_view::npos ? "" : text.substr(eq + 1, at - eq - 1);
  int block = 0;
  const bool hasBlock =
      at != std::string_view::npos && Number(text.substr(at + 1), block) && block >= 0;
  const std::string bad = "bad DFU option '" + std::string(text) + "'";
  if (name == "status") {
    int status = 0;
    if (!hasBlock || !Number(value, status) || status < 1 || status > dfu::kLastStatus) return bad;
    faults.statusAt = DfuFaults::StatusAt{block, static_cast<std::uint8_t>(status)};
  } else if (name == "stall" && hasBlock && eq == std::string_view::npos) {
    faults.stallAt = block;
  } else if (name == "disconnect" && hasBlock && eq == std::string_view::npos) {
    faults.disconnectAt = block;
  } else if (text == "no-return") {
    faults.noReturn = true;
  } else if (text == "no-start") {
    faults.noStart = true;
  } else if (text == "not-tolerant") {
    config.manifestationTolerant = false;
  } else if (text == "will-detach") {
    config.willDetach = true;
  } else if (text == "strict-detach") {
    config.strictDetach = true;
  } else if (text == "sync-while-writing") {
    config.syncWhileWriting = true;
  } else if (text == "poll-always") {
    config.pollInEveryStatus = true;
  } else if (text == "loader-strings") {
    config.loaderStrings = true;
    config.dfuProduct = kLoaderProduct;
  } else if (text == "reset-refused") {
    faults.resetRefused = true;
  } else if (name == "transfer-size" && at == std::string_view::npos) {
    if (!Number(value, config.transferSize) || config.transferSize == 0) return bad;
  } else if (name == "poll" && at == std::string_view::npos) {
    if (!Number(value, config.pollTimeoutMs) || config.pollTimeoutMs > 0xFFFFFF) return bad;
  } else {
    return "unknown DFU option '" + std::string(text) + "'";
  }
  return {};
}

DfuDevice::DfuDevice(Firmware running, DfuDeviceConfig config, DfuFaults faults)
    : running_(std::move(running)), config_(config), faults_(faults) {}

std::string DfuDevice::ConfigurationString() const {
  if (mode_ == DfuMode::Dfu && config_.loaderStrings) return kLoaderConfiguration;
  return "FW:" + running_.firmwareName + " PSR:" + running_.psrName;
}

ControlReply DfuDevice::Control(const dfu::Setup& setup, std::span<const std::uint8_t> data) {
  if (mode_ == DfuMode::Gone) return {ControlReply::Kind::Gone, {}};
  if (setup.requestType == dfu::kStandardIn && setup.request == dfu::kGetDescriptor) {
    ControlReply reply = Standard(setup);
    if (reply.data.size() > setup.length) reply.data.resize(setup.length);
    return reply;
  }
  if (setup.requestType == dfu::kClassOut || setup.requestType == dfu::kClassIn) {
    ControlReply reply = Class(setup, data);
    if (reply.data.size() > setup.length) reply.data.resize(setup.length);
    return reply;
  }
  return {ControlReply::Kind::Stall, {}};
}

ControlReply DfuDevice::Standard(const dfu::Setup& setup) {
  const std::uint8_t type = setup.value >> 8;
  const std::uint8_t index = setup.value & 0xFF;
  ControlReply reply;
  auto& d = reply.data;
  if (type == dfu::kDeviceDescriptor) {
    d = {18, dfu::kDeviceDescriptor, 0x00, 0x02, 0, 0, 0, 64};
    const bool dfuMode = mode_ == DfuMode::Dfu;
    Put16(d, dfuMode ? config_.dfuVendor.value_or(config_.vendor) : config_.vendor);
    Put16(d, dfuMode ? config_.dfuProduct.value_or(config_.product) : config_.product);
    Put16(d, config_.bcdDevice);
    d.insert(d.end(), {1, 2, 0, 1});
  } else if (type == dfu::kConfigDescriptor && index == 0) {
    const std::uint8_t protocol =
        mode_ == DfuMode::Dfu ? dfu::kDfuModeProtocol : dfu::kRuntimeProtocol;
    std::uint8_t attributes = dfu::kCanDownload;
    if (config_.manifestationTolerant) attributes |= dfu::kManifestationTolerant;
    if (config_.willDetach) attributes |= dfu::kWillDetach;
    d = {9,
         dfu::kConfigDescriptor,
         27,
         0,
         1,
         1,
         kConfigStringIndex,
         0x80,
         50,
         9,
         dfu::kInterfaceDescriptor,
         0,
         0,
         0,
         dfu::kInterfaceClass,
         dfu::kInterfaceSubClass,
         protocol,
         0,
         9,
         dfu::kFunctionalDescriptor,
         attributes};
    Put16(d, config_.detachTimeoutMs);
    Put16(d, config_.transferSize);
    Put16(d, dfu::kBcdDfu11);
  } else if (type == dfu::kStringDescriptor) {
    switch (index) {
      case 0:
        d = {4, dfu::kStringDescriptor, 0x09, 0x04};
        break;
      case 1:
        d = StringDescriptor(LoaderNamesItself() ? kLoaderManufacturer : kManufacturer);
        break;
      case 2:
        d = StringDescriptor(LoaderNamesItself() ? kLoaderProductName : kProduct);
        break;
      case kConfigStringIndex:
        d = StringDescriptor(ConfigurationString());
        break;
      default:
        return {ControlReply::Kind::Stall, {}};
    }
  } else {
    return {ControlReply::Kind::Stall, {}};
  }
  return reply;
}

ControlReply DfuDevice::Stall(dfu::Status status) {
  if (mode_ == DfuMode::Dfu) Fail(status);
  return {ControlReply::Kind::Stall, {}};
}

void DfuDevice::Fail(dfu::Status status) {
  state_ = State::Error;
  status_ = status;
}

ControlReply DfuDevice::Class(const dfu::Setup& setup, std::span<const std::uint8_t> data) {
  const auto request = static_cast<Request>(setup.request);
  const bool in = setup.requestType == dfu::kClassIn;
  // The status is six bytes; a request for any other length is refused, as a strict device does.
  if (request == Request::GetStatus && in) {
    constexpr std::uint16_t kStatusLength = 6;
    return setup.length == kStatusLength ? AnswerStatus() : Stall();
  }
  if (request == Request::GetState && in) {
    return {ControlReply::Kind::Ok, {static_cast<std::uint8_t>(state_)}};
  }
  if (in) return Stall();
  if (mode_ == DfuMode::Runtime) {
    if (request != Request::Detach) return Stall();
    state_ = State::AppDetach;
    if (config_.willDetach) Reenumerate(DfuMode::Dfu);
    return {};
  }
  switch (request) {
    case Request::Detach:
      // A device that detaches itself leaves DFU mode when told, as a reset would make it.
      if (!config_.willDetach || config_.strictDetach) return Stall();
      Reset();
      return {};
    case Request::Dnload:
      return Dnload(setup, data);
    case Request::ClrStatus:
      if (state_ != State::Error) return Stall();
      state_ = State::DfuIdle;
      status_ = Status::Ok;
      return {};
    case Request::Abort:
      if (state_ != State::DfuIdle && state_ != State::DnloadIdle && state_ != State::UploadIdle) {
        return Stall();
      }
      state_ = State::DfuIdle;
      image_.clear();
      block_ = 0;
      return {};
    default:
      return Stall();
  }
}

ControlReply DfuDevice::Dnload(const dfu::Setup& setup, std::span<const std::uint8_t> data) {
  if (state_ != State::DfuIdle && state_ != State::DnloadIdle) return Stall();
  if (data.empty()) {
    // The end of the transfer: manifestation follows, or a stall when nothing came.
    if (state_ == State::DfuIdle) return Stall(Status::ErrNotDone);
    state_ = State::ManifestSync;
    return {};
  }
  if (data.size() > config_.transferSize) return Stall();
  if (state_ == State::DfuIdle) {
    image_.clear();
    block_ = 0;
  }
  const int block = block_++;
  if (faults_.disconnectAt == block) {
    faults_.disconnectAt.reset();
    Reenumerate(DfuMode::Gone);
    return {ControlReply::Kind::Gone, {}};
  }
  if (faults_.stallAt == block) {
    faults_.stallAt.reset();
    return Stall();
  }
  (void)setup;
  image_.insert(image_.end(), data.begin(), data.end());
  state_ = State::DnloadSync;
  if (faults_.statusAt && faults_.statusAt->block == block) {
    Fail(static_cast<dfu::Status>(faults_.statusAt->status));
    faults_.statusAt.reset();
  }
  return {};
}

ControlReply DfuDevice::AnswerStatus() {
  std::uint32_t poll = 0;
  dfu::State shown = state_;
  switch (state_) {
    case State::DnloadSync:
      // Writing the block: busy for the poll time-out, then ready for the next.
      state_ = State::DnBusy;
      shown = config_.syncWhileWriting ? State::DnloadSync : State::DnBusy;
      poll = config_.pollTimeoutMs;
      break;
    case State::DnBusy:
      state_ = shown = State::DnloadIdle;
      if (config_.pollInEveryStatus) poll = config_.pollTimeoutMs;
      break;
    case State::ManifestSync:
      state_ = shown = State::Manifest;
      poll = config_.pollTimeoutMs;
      Manifest();
      if (state_ == State::Error) shown = State::Error;
      break;
    case State::Manifest:
      state_ = shown = config_.manifestationTolerant ? State::DfuIdle : State::ManifestWaitReset;
      break;
    default:
      break;
  }
  ControlReply reply;
  reply.data = {static_cast<std::uint8_t>(status_),   static_cast<std::uint8_t>(poll),
                static_cast<std::uint8_t>(poll >> 8), static_cast<std::uint8_t>(poll >> 16),
                static_cast<std::uint8_t>(shown),     0};
  // Not tolerant and detaching itself: off to the new firmware once manifestation began, with
  // no reset to wait for.
  if (shown == State::Manifest && !config_.manifestationTolerant && config_.willDetach) Reset();
  return reply;
}

void DfuDevice::Manifest() {
  dfu::ImageHeader header;
  if (dfu::ParseHeader(image_, header) != dfu::FileFault::None) {
    Fail(Status::ErrFile);
    return;
  }
  manifested_ =
      Firmware{static_cast<int>(header.firmwareVersion), header.firmwareName, header.psrName};
  image_.clear();
}

void DfuDevice::Reset() {
  if (mode_ == DfuMode::Gone) return;
  if (mode_ == DfuMode::Runtime) {
    Reenumerate(state_ == State::AppDetach ? DfuMode::Dfu : DfuMode::Runtime);
    return;
  }
  if (manifested_ && faults_.noReturn) {
    leftForGood_ = true;
    Reenumerate(DfuMode::Gone);
    return;
  }
  if (manifested_ && faults_.noStart) {
    Reenumerate(DfuMode::Dfu);
    return;
  }
  if (manifested_) {
    running_ = *manifested_;
    manifested_.reset();
    upgraded_ = true;
  }
  // Without a new image the old firmware, still whole, starts again.
  Reenumerate(DfuMode::Runtime);
}

void DfuDevice::Reenumerate(DfuMode mode) {
  mode_ = mode;
  ++generation_;
  state_ = mode == DfuMode::Dfu ? State::DfuIdle : State::AppIdle;
  status_ = Status::Ok;
  block_ = 0;
  image_.clear();
}

}  // namespace sim
