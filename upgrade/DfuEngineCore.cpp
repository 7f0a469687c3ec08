#include "upgrade/DfuEngineCore.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include "upgrade/DfuNames.h"
#include "upgrade/DfuQuirks.h"

namespace dfu {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr std::size_t kMaxDescriptor = 4096;

std::uint32_t ResultForFile(FileFault fault) {
  switch (fault) {
    case FileFault::None:
      return result::kSuccess;
    case FileFault::Open:
    case FileFault::TooLarge:
      return result::kFailFileOpen;
    case FileFault::Read:
      return result::kFailFileRead;
    case FileFault::Short:
      return result::kFailFileShort;
    case FileFault::Crc:
      return result::kFailFileCrc;
    case FileFault::Suffix:
    case FileFault::Header:
      // Our header is part of the file's framing, as the suffix is.
      return result::kFailFileSuffix;
  }
  return result::kFailUnknown;
}

std::uint32_t ResultForDescriptor(ReplyFault fault) {
  switch (fault) {
    case ReplyFault::None:
      return result::kSuccess;
    case ReplyFault::Short:
      return result::kFailUsbDescShort;
    case ReplyFault::Long:
      return result::kFailUsbDescLong;
    case ReplyFault::Bad:
      return result::kFailUsbDescBad;
  }
  return result::kFailUnknown;
}

}  // namespace

UsbError UsbStall(std::string op) {
  return UsbError{toolkit::ErrorKind::NotSupported, 0, "request stalled", std::move(op)};
}
UsbError UsbGone(std::string op) {
  return UsbError{toolkit::ErrorKind::DeviceGone, 0, "no device", std::move(op)};
}
UsbError UsbTimeout(std::string op) {
  return UsbError{toolkit::ErrorKind::TimedOut, 0, "timed out", std::move(op)};
}

struct Engine::Device {
  std::unique_ptr<DfuLink> link;
  DeviceDescriptor descriptor;
  DfuInterface dfu;
};

// One started operation: its current code, sub-operation and percentage, reported as they change.
class Engine::Operation {
 public:
  explicit Operation(Engine& engine) : engine_(engine) {}

  void Step(std::uint32_t operation, std::uint32_t subOperation, std::uint32_t percent) {
    subOperation_ = subOperation;
    Progress(operation, percent);
  }
  void Sub(std::uint32_t subOperation) { subOperation_ = subOperation; }

  // A progress report when something the window shows changed; the percentage never goes back.
  void Progress(std::uint32_t operation, std::uint32_t percent, std::uint32_t done = 0,
                std::uint32_t total = 0) {
    percent = std::max(std::min(percent, 100u), percent_);
    if (reported_ && operation == operation_ && percent == percent_) return;
    operation_ = operation;
    percent_ = percent;
    reported_ = true;
    engine_.Report(DFUENGINE_REPORT_PROGRESS,
                   {sizeof(DFUEngineReport), percent, operation, done, total, 0, 0});
  }

  // Every failure of an operation leaves through here, with the sub-operation it happened in or
  // the one given.
  [[noreturn]] void Fail(std::uint32_t result) { Fail(result, subOperation_); }
  [[noreturn]] void Fail(std::uint32_t result, std::uint32_t subOperation) {
    throw Failure{result, subOperation};
  }

  void Finish(std::uint32_t result, std::uint32_t subOperation) {
    engine_.Report(DFUENGINE_REPORT_RESULT,
                   {sizeof(DFUEngineReport), percent_, operation_, 0, 0, result, subOperation});
  }

  std::uint32_t Code() const { return operation_; }
  std::uint32_t SubCode() const { return subOperation_; }

 private:
  Engine& engine_;
  std::uint32_t operation_ = operation::kReady;
  std::uint32_t subOperation_ = suboperation::kNone;
  std::uint32_t percent_ = 0;
  bool reported_ = false;
};

Engine::Engine(EngineEnvironment environment) : env_(std::move(environment)) {
  if (!env_.waiter) env_.waiter = MakeRealWaiter();
}

Engine::~Engine() {
  stop_.store(true);
  std::thread thread;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    thread = std::move(thread_);
  }
  env_.waiter->Cancel();
  wake_.notify_all();
  if (thread.joinable()) thread.join();
}

void Engine::SetReporter(Reporter reporter) {
  std::lock_guard lock(reportMutex_);
  reporter_ = std::move(reporter);
}

void Engine::Report(std::uint32_t kind, const DFUEngineReport& report) {
  Reporter reporter;
  {
    std::lock_guard lock(reportMutex_);
    reporter = reporter_;
  }
  // Called without the lock, so the callback may call the engine.
  if (reporter) reporter(kind, report);
}

DfuTransport* Engine::TransportFor(const std::string& name) const {
  for (const auto& transport : env_.transports) {
    if (transport->Owns(name)) return transport.get();
  }
  return nullptr;
}

void Engine::SetDeviceFilter(std::string name) {
  std::lock_guard lock(mutex_);
  filter_ = std::move(name);
}

void Engine::AddDeviceIds(const DeviceIds& ids) {
  std::lock_guard lock(mutex_);
  extraIds_.push_back(ids);
}

bool Engine::Admits(const std::string& name) {
  std::lock_guard lock(mutex_);
  return filter_.empty() || filter_ == name;
}

std::vector<std::string> Engine::DeviceNames() {
  std::string filter;
  {
    std::lock_guard lock(mutex_);
    filter = filter_;
  }
  std::vector<std::string> names;
  for (const auto& transport : env_.transports) {
    // Only the transport of the admitted device is asked, so no other backend is touched.
    if (!filter.empty() && !transport->Owns(filter)) continue;
    for (auto& name : transport->List()) {
      if (filter.empty() || name == filter) names.push_back(std::move(name));
    }
  }
  return names;
}

bool Engine::Bind(const std::string& name) {
  if (!Admits(name)) return false;
  {
    std::lock_guard lock(mutex_);
    if (busy_ || stopping_) return false;
    busy_ = true;
  }
  // A probe: the device must be there and DFU-capable. Each operation opens it afresh.
  bool ok = false;
  device_.reset();
  if (DfuTransport* transport = TransportFor(name)) {
    UsbError error;
    ok = transport->Open(name, error) != nullptr;
  }
  deviceName_ = ok ? name : std::string();
  // The ids seen of this device stay: a run cut short leaves it in DFU mode, and its file names
  // the run-time id the engine saw before.
  if (ok && name != productsOf_) {
    products_.clear();
    productsOf_ = name;
  }
  std::lock_guard lock(mutex_);
  busy_ = false;
  return ok;
}

bool Engine::Start(std::function<void(Operation&)> job) {
  {
    std::lock_guard lock(mutex_);
    if (busy_ || stopping_ || deviceName_.empty()) return false;
    // The thread starts with the first operation: most runs of the tool never upgrade.
    if (!thread_.joinable()) {
      try {
        thread_ = std::thread([this] { Run(); });
      } catch (const std::system_error&) {
        return false;
      }
    }
    busy_ = true;
    job_ = std::move(job);
    runIds_ = extraIds_;
  }
  wake_.notify_all();
  return true;
}

bool Engine::StartReconfigure(std::uint32_t upload, std::uint32_t checkFile,
                              const std::string& path) {
  if (upload != 0) return false;
  return Start([this, checkFile, path](Operation& op) { Reconfigure(op, checkFile != 0, path); });
}

bool Engine::StartDownload(const std::string& path) {
  return Start([this, path](Operation& op) { Download(op, path); });
}

bool Engine::StartManifest() {
  return Start([this](Operation& op) { Manifest(op); });
}

void Engine::Run() {
  for (;;) {
    std::function<void(Operation&)> job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || job_; });
      if (!job_) return;
      job = std::move(job_);
      job_ = nullptr;
    }
    Operation op(*this);
    std::uint32_t result = result::kSuccess;
    std::uint32_t subOperation = suboperation::kNone;
    try {
      job(op);
      subOperation = op.SubCode();
    } catch (const Failure& failure) {
      result = failure.result;
      subOperation = failure.subOperation;
      device_.reset();  // the next operation starts from a fresh look at the device
    } catch (const std::exception&) {
      result = result::kFailException;
      subOperation = op.SubCode();
      device_.reset();
    }
    bool stopping;
    {
      std::lock_guard lock(mutex_);
      stopping = stopping_;
      // Free before the report: the receiver may start the next operation at once.
      busy_ = false;
    }
    if (stopping && result != result::kSuccess) result = result::kAborted;
    op.Finish(result, subOperation);
  }
}

// --- Requests --------------------------------------------------------------------------------

void Engine::CheckStop(Operation& op) const {
  if (stop_.load()) op.Fail(result::kAborted, suboperation::kNone);
}

void Engine::Pause(Operation& op, std::uint32_t ms) {
  CheckStop(op);
  const auto wait = std::min(milliseconds(ms), env_.timing.maxPollTimeout);
  if (wait.count() > 0 && !env_.waiter->Wait(wait)) op.Fail(result::kAborted, suboperation::kNone);
}

void Engine::FailTransfer(Operation& op, const UsbError& error) {
  switch (error.kind) {
    case toolkit::ErrorKind::DeviceGone:
    case toolkit::ErrorKind::TimedOut:
      op.Fail(result::kFailUsbNone);
    case toolkit::ErrorKind::NotSupported: {
      // A DFU device stalls a request it cannot carry out and keeps the reason in its status.
      StatusReply status;
      ReplyFault fault = ReplyFault::None;
      if (!RequestStatus(status, fault) && fault == ReplyFault::None && status.status != 0) {
        op.Fail(result::ForStatus(status.status, status.iString != 0));
      }
      op.Fail(result::kFailDfuStalledPkt);
    }
    case toolkit::ErrorKind::CallerMistake:
    case toolkit::ErrorKind::OsFailure:
    case toolkit::ErrorKind::None:
      break;
  }
  op.Fail(result::kFailOs);
}

std::size_t Engine::Transfer(Operation& op, const Setup& setup, std::span<std::uint8_t> data) {
  CheckStop(op);
  std::size_t transferred = 0;
  if (const UsbError e = device_->link->Control(setup, data, transferred); e) {
    FailTransfer(op, e);
  }
  return transferred;
}

// --- Class requests: one each ----------------------------------------------------------------

// The one place GETSTATUS is built: the transfer's error, and the reply's fault when it came.
UsbError Engine::RequestStatus(StatusReply& status, ReplyFault& fault) {
  // Exactly the reply's size: a device may stall a GETSTATUS of any other length. A device that
  // sends more overflows the transfer, which fails as a transfer (fail_os), not as a long reply.
  std::uint8_t reply[kStatusSize] = {};
  std::size_t got = 0;
  const Setup setup{kClassIn, static_cast<std::uint8_t>(Request::GetStatus), 0, device_->dfu.number,
                    static_cast<std::uint16_t>(sizeof reply)};
  const UsbError error = device_->link->Control(setup, reply, got);
  fault = !error ? ParseStatus({reply, std::min(got, sizeof reply)}, status) : ReplyFault::Bad;
  return error;
}

StatusReply Engine::QueryStatus(Operation& op) {
  CheckStop(op);
  StatusReply status;
  ReplyFault fault = ReplyFault::None;
  if (const UsbError e = RequestStatus(status, fault); e) FailTransfer(op, e);
  if (fault == ReplyFault::Short) op.Fail(result::kFailReplyShort);
  if (fault != ReplyFault::None) op.Fail(result::kFailReplyLong);
  return status;
}

StatusReply Engine::GetStatus(Operation& op) {
  const StatusReply status = QueryStatus(op);
  if (status.state == static_cast<std::uint8_t>(State::Error) || status.status != 0) {
    op.Fail(result::ForStatus(status.status, status.iString != 0));
  }
  return status;
}

void Engine::ClassOut(Operation& op, Request request, std::uint16_t value,
                      std::span<std::uint8_t> data) {
  const Setup setup{kClassOut, static_cast<std::uint8_t>(request), value, device_->dfu.number,
                    static_cast<std::uint16_t>(data.size())};
  if (Transfer(op, setup, data) != data.size()) op.Fail(result::kFailOs);
}

void Engine::Detach(Operation& op, std::uint16_t timeoutMs) {
  ClassOut(op, Request::Detach, timeoutMs);
}

void Engine::Dnload(Operation& op, std::uint16_t block, std::span<std::uint8_t> data) {
  ClassOut(op, Request::Dnload, block, data);
}

void Engine::ClrStatus(Operation& op) {
  ClassOut(op, Request::ClrStatus, 0);
}

void Engine::Abort(Operation& op) {
  ClassOut(op, Request::Abort, 0);
}

std::vector<std::uint8_t> Engine::GetDescriptor(Operation& op, std::uint8_t type,
                                                std::uint8_t index) {
  CheckStop(op);
  std::vector<std::uint8_t> bytes(kMaxDescriptor);
  std::size_t got = 0;
  const Setup setup{kStandardIn, kGetDescriptor, static_cast<std::uint16_t>(type << 8 | index), 0,
                    static_cast<std::uint16_t>(bytes.size())};
  if (const UsbError e = device_->link->Control(setup, bytes, got); e) {
    if (e.kind == toolkit::ErrorKind::NotSupported) op.Fail(result::kFailUsbDescBad);
    FailTransfer(op, e);
  }
  bytes.resize(std::min(got, bytes.size()));
  return bytes;
}

// --- Finding the device ----------------------------------------------------------------------

void Engine::OpenDevice(Operation& op) {
  device_.reset();
  DfuTransport* transport = TransportFor(deviceName_);
  if (transport == nullptr) op.Fail(result::kFailNoTransport);
  UsbError error;
  auto link = transport->Open(deviceName_, error);
  if (!link) {
    op.Fail(error.kind == toolkit::ErrorKind::DeviceGone ? result::kFailUsbNone
                                                         : result::kFailUsbOpen);
  }
  device_ = std::make_unique<Device>();
  device_->link = std::move(link);

  const auto deviceBytes = GetDescriptor(op, kDeviceDescriptor, 0);
  if (const ReplyFault f = ParseDeviceDescriptor(deviceBytes, device_->descriptor);
      f != ReplyFault::None) {
    op.Fail(ResultForDescriptor(f));
  }
  ConfigScan scan;
  if (const ReplyFault f = ParseConfiguration(GetDescriptor(op, kConfigDescriptor, 0), scan);
      f != ReplyFault::None) {
    op.Fail(ResultForDescriptor(f));
  }
  if (!scan.dfu) op.Fail(result::kFailUsbNoDfu);
  device_->dfu = *scan.dfu;
  const std::uint16_t product = device_->descriptor.idProduct;
  if (std::find(products_.begin(), products_.end(), product) == products_.end()) {
    products_.push_back(product);
  }
}

// Looks for the device every enumerationStep until it is there in the wanted mode; false when
// it does not come within `limit`. A device there in the other mode counts as absent until the
// limit, then it is the caller's to judge (device_ holds it).
bool Engine::WaitForDevice(Operation& op, bool wantDfuMode, milliseconds limit) {
  const auto steps = std::max<long>(1, limit / env_.timing.enumerationStep);
  for (long i = 0;; ++i) {
    CheckStop(op);
    device_.reset();
    try {
      OpenDevice(op);
      if ((device_->dfu.protocol == kDfuModeProtocol) == wantDfuMode) return true;
    } catch (const Failure& failure) {
      if (failure.result == result::kAborted) throw;
      device_.reset();  // not back yet, or back without a DFU interface yet
    }
    if (i >= steps) return false;
    if (!env_.waiter->Wait(env_.timing.enumerationStep)) {
      op.Fail(result::kAborted, suboperation::kNone);
    }
  }
}

// The products a file may name for the open device: those seen of it since it was first bound,
// and both ids of its quirk entry.
bool Engine::ProductFits(std::uint16_t product) const {
  if (product == kAnyId) return true;
  if (std::find(products_.begin(), products_.end(), product) != products_.end()) return true;
  const DeviceDescriptor& d = device_->descriptor;
  const auto ids = HeadsetWithIds(d.idVendor, d.idProduct, runIds_);
  return ids && (ids->product == product || ids->dfuProduct == product);
}

// Whether a device now showing `now` is the headset that showed `vendor` and `product` in its
// other mode: the maker stays, unless the headset's ids say otherwise.
bool Engine::SameHeadset(std::uint16_t vendor, std::uint16_t product,
                         const DeviceDescriptor& now) const {
  if (now.idVendor == vendor) return true;
  const auto ids = HeadsetWithIds(vendor, product, runIds_);
  return ids && ids->dfuVendor == now.idVendor && ids->dfuProduct == now.idProduct;
}

void Engine::CheckFileAgainstDevice(Operation& op, const FileInfo& info, FileFault fault,
                                    bool product) const {
  if (fault != FileFault::None) op.Fail(ResultForFile(fault), suboperation::kNone);
  const DeviceDescriptor& d = device_->descriptor;
  const auto ids = HeadsetWithIds(d.idVendor, d.idProduct, runIds_);
  const std::uint16_t vendor = info.suffix.idVendor;
  if (vendor != kAnyId && vendor != d.idVendor &&
      !(ids && (ids->vendor == vendor || ids->dfuVendor == vendor))) {
    op.Fail(result::kFailFileVendor, suboperation::kNone);
  }
  if (product && !ProductFits(info.suffix.idProduct)) {
    op.Fail(result::kFailFileProduct, suboperation::kNone);
  }
}

// From any DFU-mode state to dfuIDLE: clear an error, abort a transfer left half done.
void Engine::ToIdle(Operation& op) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    const StatusReply status = QueryStatus(op);
    switch (static_cast<State>(status.state)) {
      case State::DfuIdle:
        return;
      case State::Error:
        ClrStatus(op);
        break;
      case State::DnloadIdle:
      case State::UploadIdle:
        Abort(op);
        break;
      default:
        Pause(op, status.pollTimeoutMs);
        break;
    }
  }
  op.Fail(result::kFailModeNotIdle);
}

// --- Operations ------------------------------------------------------------------------------

void Engine::Reconfigure(Operation& op, bool checkFile, const std::string& path) {
  op.Step(operation::kReconfigureConnect, suboperation::kUsbOpen, 0);
  OpenDevice(op);
  // The file before the device leaves its firmware; its product only once both modes were seen.
  FileInfo info;
  if (checkFile) CheckFileAgainstDevice(op, info, CheckFile(path, info), false);

  if (device_->dfu.protocol == kRuntimeProtocol) {
    op.Step(operation::kReconfigureStartRuntime, suboperation::kUsbCheck, 25);
    const Functional f = device_->dfu.functional;
    Detach(op, f.detachTimeoutMs);
    // A device that detaches itself re-enumerates on its own; any other waits for our reset
    // within its detach time-out, or for the user to replug it when the system refuses the reset.
    bool replug = false;
    if ((f.attributes & kWillDetach) == 0) replug = !ResetDevice(op);
    const DeviceDescriptor before = device_->descriptor;
    device_.reset();
    op.Step(operation::kReconfigureStartDfu, suboperation::kUsbWait, 50);
    if (!WaitForDevice(op, true, replug ? env_.timing.replugLimit : env_.timing.enumerationLimit)) {
      // Asked to replug, the user did not: the device never came back in DFU mode.
      op.Fail(device_ && !replug ? result::kFailModeNoDfu : result::kFailUsbNone);
    }
    // The product may change in DFU mode, the maker may not: another device took the place.
    if (!SameHeadset(before.idVendor, before.idProduct, device_->descriptor)) {
      op.Fail(result::kFailUsbId);
    }
  }

  op.Step(operation::kReconfigureChecking, suboperation::kUsbCheck, 75);
  if (checkFile) CheckFileAgainstDevice(op, info, FileFault::None);
  ToIdle(op);
  op.Step(operation::kReconfigureChecking, suboperation::kEstablished, 100);
}

void Engine::Download(Operation& op, const std::string& path) {
  detachesAfterManifest_ = false;
  op.Step(operation::kDownloadPrepare, suboperation::kNone, 0);
  if (!device_ || device_->dfu.protocol != kDfuModeProtocol) op.Fail(result::kFailModeNoDfu);
  FileInfo info;
  std::vector<std::uint8_t> image;
  CheckFileAgainstDevice(op, info, LoadImage(path, info, image));
  const Functional f = device_->dfu.functional;
  if ((f.attributes & kCanDownload) == 0) op.Fail(result::kFailNoDownload);
  if (f.transferSize == 0) op.Fail(result::kFailUsbDescBad);
  op.Sub(suboperation::kUsbCheck);
  ToIdle(op);

  op.Step(operation::kDownloadProgress, suboperation::kDownloadProcessing, 0);
  const std::uint16_t blocks = SendImage(op, image, f.transferSize);

  // The zero-length download ends the transfer; the device then manifests the firmware.
  op.Step(operation::kDownloadVerify, suboperation::kDownloadProcessing, 100);
  Dnload(op, blocks, {});
  const bool tolerant = (f.attributes & kManifestationTolerant) != 0;
  WaitThroughManifestation(op, tolerant);
  detachesAfterManifest_ = !tolerant && (f.attributes & kWillDetach) != 0;
  op.Sub(suboperation::kNone);
}

namespace {

// Still writing the block: dfuDNBUSY, or dfuDNLOAD-SYNC from a device that reports the state it
// was asked in rather than the one it moves to.
bool WritingBlock(const StatusReply& status) {
  return status.state == static_cast<std::uint8_t>(State::DnBusy) ||
         status.state == static_cast<std::uint8_t>(State::DnloadSync);
}

}  // namespace

// The image in blocks of transferSize, each DNLOAD followed by GETSTATUS: dfuDNBUSY (or
// dfuDNLOAD-SYNC) for as long as the device asks, then dfuDNLOAD-IDLE. Returns the number of
// blocks sent.
std::uint16_t Engine::SendImage(Operation& op, std::vector<std::uint8_t>& image,
                                std::uint16_t transferSize) {
  const std::size_t total = image.size();
  std::uint16_t block = 0;
  for (std::size_t at = 0; at < total; at += transferSize, ++block) {
    const std::size_t size = std::min<std::size_t>(transferSize, total - at);
    Dnload(op, block, {image.data() + at, size});
    StatusReply status = GetStatus(op);
    if (!WritingBlock(status) && status.state != static_cast<std::uint8_t>(State::DnloadIdle)) {
      op.Fail(result::kFailModeNotDnloadBusy);
    }
    for (int polls = 0; WritingBlock(status); ++polls) {
      Pause(op, status.pollTimeoutMs);
      if (polls > env_.timing.maxManifestPolls) op.Fail(result::kFailModeNotDnloadIdle);
      status = GetStatus(op);
    }
    if (status.state != static_cast<std::uint8_t>(State::DnloadIdle)) {
      op.Fail(result::kFailModeNotDnloadIdle);
    }
    // The poll time-out spaces GETSTATUS requests only: a device in dfuDNLOAD-IDLE takes the
    // next block at once.
    const std::size_t done = at + size;
    op.Progress(operation::kDownloadProgress, static_cast<std::uint32_t>(done * 100 / total),
                static_cast<std::uint32_t>(done), static_cast<std::uint32_t>(total));
  }
  return block;
}

// After the zero-length DNLOAD: polls until a manifestation-tolerant device is back in dfuIDLE,
// or any other has entered manifestation and waits for its reset.
void Engine::WaitThroughManifestation(Operation& op, bool tolerant) {
  for (int polls = 0;; ++polls) {
    if (polls > env_.timing.maxManifestPolls) op.Fail(result::kFailModeNotManifest);
    const StatusReply status = GetStatus(op);
    switch (static_cast<State>(status.state)) {
      case State::DfuIdle:
        // Only a manifestation-tolerant device comes back to dfuIDLE.
        if (!tolerant) op.Fail(result::kFailModeNotManifest);
        return;
      case State::ManifestSync:
        Pause(op, status.pollTimeoutMs);
        continue;
      case State::Manifest:
        Pause(op, status.pollTimeoutMs);
        // A device that is not manifestation tolerant now waits for a reset and answers nothing.
        if (!tolerant) return;
        continue;
      case State::ManifestWaitReset:
        return;
      default:
        op.Fail(result::kFailModeNotManifest);
    }
  }
}

bool Engine::ResetDevice(Operation& op) {
  CheckStop(op);
  // A device already gone as it re-enumerates is no error.
  const UsbError e = device_->link->Reset();
  if (!e || e.kind == toolkit::ErrorKind::DeviceGone) return true;
  // Refused (no right to reset the port, or no reset offered): the user's hands do it instead.
  Report(DFUENGINE_REPORT_REPLUG,
         {sizeof(DFUEngineReport), 0, op.Code(), 0, 0, 0, suboperation::kUsbWait});
  return false;
}

// Whether a link opened before still reaches its device: not unplugged or re-enumerated since.
bool Engine::StillAnswers(std::unique_ptr<Device>& link) {
  StatusReply status;
  ReplyFault fault = ReplyFault::None;
  std::swap(device_, link);
  const UsbError e = RequestStatus(status, fault);
  std::swap(device_, link);
  return !e;
}

// Whether the device left after DFU_DETACH, at once or within its detach time-out.
bool Engine::DetachedItself(Operation& op) {
  const std::uint16_t timeoutMs = device_->dfu.functional.detachTimeoutMs;
  try {
    Detach(op, timeoutMs);
  } catch (const Failure& failure) {
    if (failure.result == result::kAborted) throw;
    return false;
  }
  for (int look = 0; look < 2; ++look) {
    if (look > 0 && !env_.waiter->Wait(milliseconds(timeoutMs))) {
      op.Fail(result::kAborted, suboperation::kNone);
    }
    try {
      QueryStatus(op);
    } catch (const Failure& failure) {
      if (failure.result == result::kAborted) throw;
      return true;  // gone: it is re-enumerating
    }
  }
  return false;
}

void Engine::Manifest(Operation& op) {
  op.Step(operation::kManifestStartRuntime, suboperation::kUsbWait, 0);
  const bool manifested = std::exchange(detachesAfterManifest_, false);
  if (!device_) {
    // Not open (no download before this, or it failed): reset whatever is there.
    try {
      OpenDevice(op);
    } catch (const Failure&) {
      device_.reset();
    }
  }
  for (int attempt = 0;; ++attempt) {
    if (device_ && device_->dfu.protocol == kRuntimeProtocol) {
      device_.reset();  // let go: the device belongs to its firmware again
      op.Step(op.Code(), suboperation::kEstablished, 100);
      return;
    }
    milliseconds limit = env_.timing.enumerationLimit;
    bool refused = false;
    std::unique_ptr<Device> left;  // kept open to tell a replugged device from one never touched
    if (device_) {
      // A device that detaches itself leaves DFU mode unasked after manifestation, otherwise when
      // told; one that refuses (DFU_DETACH belongs to appIDLE) or stays needs the reset after all.
      bool reset = (device_->dfu.functional.attributes & kWillDetach) == 0;
      if (!reset && (!manifested || attempt > 0)) reset = !DetachedItself(op);
      if (reset && !ResetDevice(op)) {
        refused = true;
        limit = env_.timing.replugLimit;
        left = std::move(device_);
      }
      device_.reset();
      op.Progress(op.Code(), 50);
    }
    // Leaves device_ holding the run-time device, the device still in DFU mode, or nothing.
    if (WaitForDevice(op, false, limit)) continue;
    if (refused) {
      // Back in DFU mode after the replug: its firmware did not start, as after a reset.
      if (device_ && left && !StillAnswers(left)) break;
      // Asked to replug, the user did not: asking again would not help.
      op.Step(operation::kManifestFail, suboperation::kUsbWait, 100);
      op.Fail(result::kFailUsbNone);
    }
    if (!device_ || attempt == 1) break;
    // Back, but in DFU mode: its firmware did not start. One more reset may help.
    op.Step(operation::kManifestRetryRuntime, suboperation::kUsbWait, 50);
  }
  if (!device_) {
    op.Step(operation::kManifestFail, suboperation::kUsbWait, 100);
    op.Fail(result::kFailUsbNone);
  }
  op.Step(operation::kManifestFail, suboperation::kUsbCheck, 100);
  GetStatus(op);  // a device that reports why fails with its own status
  op.Fail(result::kFailDfuFirmware);
}

}  // namespace dfu
