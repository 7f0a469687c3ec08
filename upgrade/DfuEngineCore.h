// Our DFU engine behind the C interface of DFUEngine.h: the USB DFU 1.1 transfer state machine
// over DfuTransport. One engine thread, started with the first operation, runs the started
// operations and calls the report callback; the public methods may be called from any thread. The
// contract is the one DFUEngine.h states.
//
// Operations and the codes they report (operation, sub-operation):
//   reconfigure  reconfigure_connect/usb_open: open, read the descriptors, check the file's vendor;
//                reconfigure_start_runtime/usb_check: DFU_DETACH, then a reset unless the device
//                detaches itself; reconfigure_start_dfu/usb_wait: wait for it in DFU mode (up to
//                replugLimit when the system refused the reset and the user was asked to replug);
//                reconfigure_checking/usb_check: the file's product, clear any error to dfuIDLE
//   download     download_prepare: the file, its ids, dfuIDLE; download_progress/
//                download_processing: the blocks, each DNLOAD followed by GETSTATUS until
//                dfuDNLOAD-IDLE, waiting every bwPollTimeout the device asks for;
//                download_verify: the zero-length DNLOAD and manifestation
//   manifest     manifest_start_runtime/usb_wait: reset out of DFU mode (a device with
//                bitWillDetach leaves by itself: after manifestation, or told by DFU_DETACH) and
//                wait for the run-time device, up to replugLimit after a refused reset;
//                manifest_retry_runtime: once more when it came back in DFU mode;
//                manifest_fail: it never came back, or stayed in DFU mode
// Results: a device's error bStatus 1 to 15 gives its fail_dfu_* row (errVENDOR with a text
// fail_dfu_vendor_str); a stalled request the status the device then reports, else
// fail_dfu_stalledpkt; a state the step does not allow fail_mode_*; a device that is gone or does
// not answer fail_usb_none, one that cannot be opened fail_usb_open, broken descriptors
// fail_usb_desc_*, no DFU interface fail_usb_no_dfu, another maker's device after the detach
// fail_usb_id; GETSTATUS replies of the wrong size fail_reply_short/long; file faults
// fail_file_* (our header's faults count as the suffix's); other system failures fail_os.
// A stop (the engine destroyed) is looked for before every request and in every wait, so an
// operation ends "aborted" within one request.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "upgrade/DFUEngine.h"
#include "upgrade/DfuFile.h"
#include "upgrade/DfuProtocol.h"
#include "upgrade/DfuQuirks.h"
#include "upgrade/DfuTransport.h"

namespace dfu {

// How long the engine waits for a device that re-enumerates, and how often it looks.
struct EngineTiming {
  std::chrono::milliseconds enumerationLimit{10000};
  std::chrono::milliseconds enumerationStep{100};
  // The longest bwPollTimeout honoured; a device asking for more is waited for this long.
  std::chrono::milliseconds maxPollTimeout{60000};
  // Polls through manifestation before the device is given up as stuck.
  int maxManifestPolls = 10000;
  // How long a user asked to unplug the device and plug it in again is waited for.
  std::chrono::milliseconds replugLimit{60000};
};

struct EngineEnvironment {
  std::vector<std::shared_ptr<DfuTransport>> transports;
  std::unique_ptr<Waiter> waiter;  // null: real time
  EngineTiming timing;
};

class Engine {
 public:
  explicit Engine(EngineEnvironment environment);
  ~Engine();  // ends a running operation (reported as aborted) and the thread

  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // A report function; the C interface passes a DFUEngineCallback through it.
  using Reporter = std::function<void(std::uint32_t kind, const DFUEngineReport& report)>;
  void SetReporter(Reporter reporter);

  // Admits only the device `name` to DeviceNames and Bind (empty: every device). Detection
  // names the device it found, so no other DFU device attached meanwhile receives a request.
  void SetDeviceFilter(std::string name);
  // A headset the quirk table does not know: a file naming either mode's ids fits it.
  void AddDeviceIds(const DeviceIds& ids);

  std::vector<std::string> DeviceNames();
  // Binding again to the same device keeps the product ids seen of it in either mode.
  bool Bind(const std::string& name);
  bool StartReconfigure(std::uint32_t upload, std::uint32_t checkFile, const std::string& path);
  bool StartDownload(const std::string& path);
  bool StartManifest();

 private:
  struct Failure {
    std::uint32_t result;
    std::uint32_t subOperation;
  };
  struct Device;  // the open link and what the engine learned of the device
  class Operation;

  bool Start(std::function<void(Operation&)> job);
  void Run();
  void Report(std::uint32_t kind, const DFUEngineReport& report);
  DfuTransport* TransportFor(const std::string& name) const;

  bool Admits(const std::string& name);

  // Steps of the operations; each fails through Operation::Fail.
  void Reconfigure(Operation& op, bool checkFile, const std::string& path);
  void Download(Operation& op, const std::string& path);
  std::uint16_t SendImage(Operation& op, std::vector<std::uint8_t>& image,
                          std::uint16_t transferSize);
  void WaitThroughManifestation(Operation& op, bool tolerant);
  void Manifest(Operation& op);
  void OpenDevice(Operation& op);
  bool ProductFits(std::uint16_t product) const;
  void CheckFileAgainstDevice(Operation& op, const FileInfo& info, FileFault fault,
                              bool product = true) const;
  bool WaitForDevice(Operation& op, bool wantDfuMode, std::chrono::milliseconds limit);
  // False when the system refused the reset: the user has been asked to replug the device.
  bool ResetDevice(Operation& op);
  bool DetachedItself(Operation& op);
  bool StillAnswers(std::unique_ptr<Device>& link);
  void CheckStop(Operation& op) const;
  bool SameHeadset(std::uint16_t vendor, std::uint16_t product, const DeviceDescriptor& now) const;
  void ToIdle(Operation& op);
  void Pause(Operation& op, std::uint32_t ms);

  // Requests to the open device.
  std::size_t Transfer(Operation& op, const Setup& setup, std::span<std::uint8_t> data);
  [[noreturn]] void FailTransfer(Operation& op, const UsbError& error);
  UsbError RequestStatus(StatusReply& status, ReplyFault& fault);
  StatusReply QueryStatus(Operation& op);  // any state
  StatusReply GetStatus(Operation& op);    // an error state or status fails
  void ClassOut(Operation& op, Request request, std::uint16_t value,
                std::span<std::uint8_t> data = {});
  void Detach(Operation& op, std::uint16_t timeoutMs);
  void Dnload(Operation& op, std::uint16_t block, std::span<std::uint8_t> data);
  void ClrStatus(Operation& op);
  void Abort(Operation& op);
  std::vector<std::uint8_t> GetDescriptor(Operation& op, std::uint8_t type, std::uint8_t index);

  EngineEnvironment env_;
  std::unique_ptr<Device> device_;  // touched by whoever holds busy_
  std::string deviceName_;
  // The device's product numbers seen since binding: DFU mode may use another than run-time mode,
  // and a file may name either.
  std::vector<std::uint16_t> products_;
  std::string productsOf_;  // the device they were seen of
  // Known to detach itself after manifestation: no reset, no DFU_DETACH, only a wait.
  bool detachesAfterManifest_ = false;
  std::vector<DeviceIds> extraIds_;  // guarded by mutex_
  std::vector<DeviceIds> runIds_;    // extraIds_ as the running operation took them
  std::atomic<bool> stop_{false};

  std::mutex mutex_;
  std::condition_variable wake_;
  std::function<void(Operation&)> job_;
  std::string filter_;
  bool busy_ = false;
  bool stopping_ = false;
  Reporter reporter_;
  std::mutex reportMutex_;
  std::thread thread_;
};

// Registers an engine built with its own environment (tests, other transports) behind a handle of
// the C interface. 0 when no handle is left.
DFUEngineHandle RegisterEngine(std::unique_ptr<Engine> engine);

}  // namespace dfu
