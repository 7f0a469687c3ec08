// The engine against a device whose every answer comes from the fuzzer: descriptors, status
// replies, stalls and disappearances in any order. Every started operation must end in exactly one
// report, whatever the device says, and no parser may read past what the device sent.
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <span>
#include <string>

#include "upgrade/DfuEngineCore.h"
#include "upgrade/DfuProtocol.h"

namespace dfu {

namespace {

class NoWait final : public Waiter {
 public:
  bool Wait(std::chrono::microseconds) override { return true; }
  void Cancel() override {}
};

// The fuzzer's bytes as a device: each transfer takes an outcome byte and, for replies, a length
// byte and that many bytes. When the bytes run out the device is gone.
class Script {
 public:
  explicit Script(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  bool Take(std::uint8_t& b) {
    if (bytes_.empty()) return false;
    b = bytes_[0];
    bytes_ = bytes_.subspan(1);
    return true;
  }
  std::span<const std::uint8_t> TakeSome(std::size_t n) {
    n = std::min(n, bytes_.size());
    const auto some = bytes_.first(n);
    bytes_ = bytes_.subspan(n);
    return some;
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

UsbError Outcome(std::uint8_t b) {
  switch (b % 8) {
    case 5:
      return UsbStall("fuzz");
    case 6:
      return UsbGone("fuzz");
    case 7:
      return UsbTimeout("fuzz");
    default:
      return {};
  }
}

class ScriptLink final : public DfuLink {
 public:
  explicit ScriptLink(Script& script) : script_(script) {}
  UsbError Control(const Setup& setup, std::span<std::uint8_t> data,
                   std::size_t& transferred) override {
    transferred = 0;
    std::uint8_t o = 0, n = 0;
    if (!script_.Take(o)) return UsbGone("fuzz");
    if (UsbError e = Outcome(o)) return e;
    if ((setup.requestType & 0x80) == 0) {
      transferred = data.size();
      return {};
    }
    if (!script_.Take(n)) return UsbGone("fuzz");
    // Longer replies than a byte's worth come as descriptors the engine asked for in full.
    const std::size_t want = o & 0x80 ? static_cast<std::size_t>(n) * 8 : n;
    const auto some = script_.TakeSome(std::min(want, data.size()));
    std::copy(some.begin(), some.end(), data.begin());
    transferred = some.size();
    return {};
  }
  UsbError Reset() override {
    std::uint8_t o = 0;
    return script_.Take(o) ? Outcome(o) : UsbGone("fuzz");
  }

 private:
  Script& script_;
};

class ScriptTransport final : public DfuTransport {
 public:
  explicit ScriptTransport(Script& script) : script_(script) {}
  std::vector<std::string> List() override { return {"fuzz:1"}; }
  bool Owns(const std::string& name) const override { return name == "fuzz:1"; }
  std::unique_ptr<DfuLink> Open(const std::string&, UsbError& error) override {
    std::uint8_t o = 0;
    if (!script_.Take(o) || o % 16 == 15) {
      error = UsbGone("fuzz");
      return nullptr;
    }
    error = {};
    return std::make_unique<ScriptLink>(script_);
  }

 private:
  Script& script_;
};

}  // namespace

// The engine's default waiter; this program always gives its own.
std::unique_ptr<Waiter> MakeRealWaiter() {
  return std::make_unique<NoWait>();
}

}  // namespace dfu

namespace {

const std::string& FirmwareFile() {
  static const std::string path = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string name =
        std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/dfu-reply-fuzz-XXXXXX";
    const int fd = ::mkstemp(name.data());
    dfu::ImageHeader header;
    header.description = "FARPOINT";
    header.firmwareName = "F.xpv";
    header.psrName = "P.psr";
    const std::vector<std::uint8_t> body(3000, 0x5A);
    dfu::Suffix ids;
    const auto file = dfu::BuildFile(header, body, ids);
    if (fd < 0 || ::write(fd, file.data(), file.size()) != static_cast<ssize_t>(file.size())) {
      std::abort();
    }
    ::close(fd);
    return name;
  }();
  // The fuzzer ends through exit(): the file goes with it.
  static const int removal = std::atexit([] { std::remove(FirmwareFile().c_str()); });
  static_cast<void>(removal);
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The reply parsers alone, on the raw input.
  dfu::StatusReply status;
  dfu::ParseStatus({data, size}, status);
  dfu::ConfigScan scan;
  dfu::ParseConfiguration({data, size}, scan);
  dfu::DeviceDescriptor device;
  dfu::ParseDeviceDescriptor({data, size}, device);
  std::string text;
  dfu::ParseString({data, size}, text);

  // The engine through its three operations.
  dfu::Script script({data, size});
  dfu::EngineEnvironment env;
  env.transports = {std::make_shared<dfu::ScriptTransport>(script)};
  env.waiter = std::make_unique<dfu::NoWait>();
  env.timing.enumerationLimit = std::chrono::milliseconds(300);
  env.timing.maxManifestPolls = 50;
  std::mutex mutex;
  std::condition_variable ended;
  int results = 0;
  {
    dfu::Engine engine(std::move(env));
    engine.SetReporter([&](std::uint32_t kind, const DFUEngineReport& report) {
      if (report.percent > 100) std::abort();
      if (kind != DFUENGINE_REPORT_RESULT) return;
      std::lock_guard lock(mutex);
      ++results;
      ended.notify_all();
    });
    if (!engine.Bind("fuzz:1")) return 0;
    int started = 0;
    for (int op = 0; op < 3; ++op) {
      const bool ok = op == 0   ? engine.StartReconfigure(0, 1, FirmwareFile())
                      : op == 1 ? engine.StartDownload(FirmwareFile())
                                : engine.StartManifest();
      if (!ok) std::abort();  // nothing else runs, so every start must be taken
      ++started;
      std::unique_lock lock(mutex);
      ended.wait(lock, [&] { return results == started; });
    }
  }
  if (results != 3) std::abort();
  return 0;
}
