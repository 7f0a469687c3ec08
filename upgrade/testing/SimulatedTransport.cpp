#include "upgrade/testing/SimulatedTransport.h"

#include <cerrno>
#include <cstring>

namespace dfu::testing {

bool VirtualWaiter::Wait(std::chrono::microseconds duration) {
  std::lock_guard lock(mutex_);
  if (cancelled_) return false;
  now_ += duration;
  waits_.push_back(duration);
  return true;
}

void VirtualWaiter::Cancel() {
  {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
  }
  cancelledChanged_.notify_all();
}

bool VirtualWaiter::WaitUntilCancelled(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return cancelledChanged_.wait_for(lock, timeout, [this] { return cancelled_; });
}

std::chrono::microseconds VirtualWaiter::Now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

std::vector<std::chrono::microseconds> VirtualWaiter::Waits() const {
  std::lock_guard lock(mutex_);
  return waits_;
}

namespace {

class SimulatedLink final : public DfuLink {
 public:
  SimulatedLink(SimulatedTransport& transport, unsigned generation)
      : transport_(transport), generation_(generation) {}

  UsbError Control(const Setup& setup, std::span<std::uint8_t> data,
                   std::size_t& transferred) override {
    return transport_.Transfer(generation_, setup, data, transferred);
  }
  UsbError Reset() override { return transport_.ResetDevice(generation_); }

 private:
  SimulatedTransport& transport_;
  const unsigned generation_;
};

}  // namespace

SimulatedTransport::SimulatedTransport(sim::DfuDevice device, const VirtualWaiter* clock,
                                       std::string name)
    : device_(std::move(device)), clock_(clock), name_(std::move(name)) {}

std::chrono::microseconds SimulatedTransport::NowLocked() const {
  return clock_ != nullptr ? clock_->Now() : std::chrono::microseconds{0};
}

void SimulatedTransport::ReplugWhenDueLocked() {
  if (!replugAt_ || NowLocked() < *replugAt_) return;
  replugAt_.reset();
  device_.Replug();
}

void SimulatedTransport::SetRefuseResets(bool refuse) {
  std::lock_guard lock(mutex_);
  refuseResets_ = refuse;
}

void SimulatedTransport::SetReplugAfterRefusal(std::optional<std::chrono::microseconds> after) {
  std::lock_guard lock(mutex_);
  replugAfter_ = after;
}

std::vector<std::string> SimulatedTransport::List() {
  std::lock_guard lock(mutex_);
  ReplugWhenDueLocked();
  if (!attached_ || device_.Mode() == sim::DfuMode::Gone) return {};
  return {name_};
}

std::unique_ptr<DfuLink> SimulatedTransport::Open(const std::string& name, UsbError& error) {
  std::lock_guard lock(mutex_);
  ReplugWhenDueLocked();
  if (name != name_ || !attached_ || device_.Mode() == sim::DfuMode::Gone) {
    error = UsbGone("open " + name);
    return nullptr;
  }
  error = {};
  return std::make_unique<SimulatedLink>(*this, device_.Generation());
}

void SimulatedTransport::SetAttached(bool attached) {
  std::lock_guard lock(mutex_);
  attached_ = attached;
}

void SimulatedTransport::SetTransferHook(std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  hook_ = std::move(hook);
}

sim::DfuDevice SimulatedTransport::Device() const {
  std::lock_guard lock(mutex_);
  return device_;
}

std::vector<Logged> SimulatedTransport::Log() const {
  std::lock_guard lock(mutex_);
  return log_;
}

UsbError SimulatedTransport::Transfer(unsigned generation, const Setup& setup,
                                      std::span<std::uint8_t> data, std::size_t& transferred) {
  std::function<void()> hook;
  {
    std::lock_guard lock(mutex_);
    hook = hook_;
  }
  if (hook) hook();
  std::lock_guard lock(mutex_);
  ReplugWhenDueLocked();
  transferred = 0;
  if (!attached_ || generation != device_.Generation()) return UsbGone("control transfer");
  log_.push_back({setup, false, clock_ != nullptr ? clock_->Now() : std::chrono::microseconds{0}});
  const bool in = (setup.requestType & 0x80) != 0;
  Setup asked = setup;
  asked.length = static_cast<std::uint16_t>(data.size());
  const sim::ControlReply reply = device_.Control(
      asked, in ? std::span<const std::uint8_t>() : std::span<const std::uint8_t>(data));
  switch (reply.kind) {
    case sim::ControlReply::Kind::Stall:
      return UsbStall("control transfer");
    case sim::ControlReply::Kind::Gone:
      return UsbGone("control transfer");
    case sim::ControlReply::Kind::Ok:
      break;
  }
  if (in) {
    transferred = std::min(reply.data.size(), data.size());
    if (transferred > 0) std::memcpy(data.data(), reply.data.data(), transferred);
  } else {
    transferred = data.size();
  }
  return {};
}

UsbError SimulatedTransport::ResetDevice(unsigned generation) {
  std::lock_guard lock(mutex_);
  if (!attached_ || generation != device_.Generation()) return UsbGone("reset");
  log_.push_back({Setup{}, true, NowLocked()});
  if (refuseResets_ || device_.RefusesReset()) {
    if (replugAfter_) replugAt_ = clock_ != nullptr ? NowLocked() + *replugAfter_ : NowLocked();
    return toolkit::ErrnoError(EACCES, "reset");
  }
  device_.Reset();
  return {};
}

}  // namespace dfu::testing
