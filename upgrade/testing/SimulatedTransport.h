// For tests and benchmarks: the simulated DFU device of the virtual headset (sim/DfuDevice.h) as
// an in-process transport, and a waiter on virtual time, so bwPollTimeout and re-enumeration waits
// take no real time and a test sees every wait the engine made.
//
// Threads: the engine's thread drives the transport; the test reads the log and the device through
// the locked accessors, from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "sim/DfuDevice.h"
#include "upgrade/DfuTransport.h"

namespace dfu::testing {

// Time that moves only when the engine waits.
class VirtualWaiter final : public Waiter {
 public:
  bool Wait(std::chrono::microseconds duration) override;
  void Cancel() override;

  std::chrono::microseconds Now() const;
  std::vector<std::chrono::microseconds> Waits() const;
  // Blocks until Cancel was called; false when `timeout` passes first.
  bool WaitUntilCancelled(std::chrono::milliseconds timeout) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cancelledChanged_;
  std::chrono::microseconds now_{0};
  std::vector<std::chrono::microseconds> waits_;
  bool cancelled_ = false;
};

// One request as the device saw it.
struct Logged {
  Setup setup;
  bool reset = false;
  std::chrono::microseconds at{0};  // the waiter's time, when a waiter is watched
};

class SimulatedTransport final : public DfuTransport {
 public:
  static constexpr char kName[] = "sim:1";

  // One device named `name`; several transports with their own names stand for several devices.
  explicit SimulatedTransport(sim::DfuDevice device = sim::DfuDevice(),
                              const VirtualWaiter* clock = nullptr, std::string name = kName);

  std::vector<std::string> List() override;
  bool Owns(const std::string& name) const override { return name == name_; }
  std::unique_ptr<DfuLink> Open(const std::string& name, UsbError& error) override;

  // Plugged in (the default) or not.
  void SetAttached(bool attached);
  // The system refuses every reset with its access error, whatever the device (as with
  // `resetRefused` among the device's faults).
  void SetRefuseResets(bool refuse);
  // The user, asked to replug the device after a refused reset, does so `after` (on the watched
  // clock; with none, at the next look at the device) once the reset was refused; nullopt (the
  // default): never.
  void SetReplugAfterRefusal(std::optional<std::chrono::microseconds> after);
  // Runs before every transfer on the engine's thread: a benchmark spends the transfer's cost.
  void SetTransferHook(std::function<void()> hook);

  sim::DfuDevice Device() const;
  std::vector<Logged> Log() const;

  // For the links.
  UsbError Transfer(unsigned generation, const Setup& setup, std::span<std::uint8_t> data,
                    std::size_t& transferred);
  UsbError ResetDevice(unsigned generation);

 private:
  std::chrono::microseconds NowLocked() const;
  void ReplugWhenDueLocked();

  mutable std::mutex mutex_;
  sim::DfuDevice device_;
  const VirtualWaiter* clock_;
  const std::string name_;
  bool attached_ = true;
  bool refuseResets_ = false;
  std::optional<std::chrono::microseconds> replugAfter_;
  std::optional<std::chrono::microseconds> replugAt_;
  std::function<void()> hook_;
  std::vector<Logged> log_;
};

}  // namespace dfu::testing
