// Two DFU figures:
//  1. A download from the simulated device with a fixed bwPollTimeout and a modelled cost per
//     transfer: the engine's wall time over the device-mandated minimum (the sum of the poll
//     time-outs it asked for and the transfers' costs). Target: at most 1.02.
//  2. DFUEngine_IsDFUFileValid on a large file beside `dfu-suffix -c` on the same file.
//
// Usage: qmr7-dfu-bench [--size BYTES] [--poll-ms N] [--cost-us N] [--transfer-size N]
//                       [--file-mib N] [--skip-file]
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>

#include "upgrade/DfuEngineCore.h"
#include "upgrade/DfuNames.h"
#include "upgrade/testing/SimulatedTransport.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::duration;

struct Options {
  std::size_t size = 1 << 20;
  unsigned pollMs = 10;
  unsigned costUs = 250;
  unsigned transferSize = 4096;
  unsigned fileMib = 16;  // the largest file taken as firmware
  bool file = true;
};

// Spends a transfer's cost exactly: a busy wait, as the bus is busy.
void Spend(std::chrono::microseconds cost) {
  const auto until = Clock::now() + cost;
  while (Clock::now() < until) {
  }
}

std::vector<std::uint8_t> Firmware(std::size_t size) {
  dfu::ImageHeader header;
  header.description = "FARPOINT benchmark";
  header.firmwareName = "B.xpv";
  header.psrName = "B.psr";
  // `size` is the whole file's, suffix included.
  std::vector<std::uint8_t> body(size - std::min(size, header.Size() + dfu::kSuffixSize));
  for (std::size_t i = 0; i < body.size(); ++i)
    body[i] = static_cast<std::uint8_t>(i * 31);
  dfu::Suffix ids;
  return dfu::BuildFile(header, body, ids);
}

std::string WriteTemp(const std::vector<std::uint8_t>& bytes) {
  char name[] = "/tmp/qmr7-dfu-bench-XXXXXX";
  const int fd = ::mkstemp(name);
  if (fd < 0) return {};
  ::close(fd);
  std::ofstream(name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return name;
}

int Download(const Options& o) {
  sim::DfuDeviceConfig config;
  config.pollTimeoutMs = o.pollMs;
  config.transferSize = static_cast<std::uint16_t>(o.transferSize);
  auto transport = std::make_shared<dfu::testing::SimulatedTransport>(sim::DfuDevice({}, config));
  std::atomic<bool> timing{false};
  std::atomic<std::size_t> transfers{0};
  const std::chrono::microseconds cost(o.costUs);
  transport->SetTransferHook([&] {
    if (!timing) return;
    ++transfers;
    Spend(cost);
  });
  dfu::EngineEnvironment env;
  env.transports = {transport};
  dfu::Engine engine(std::move(env));  // real time
  std::mutex mutex;
  std::condition_variable ended;
  int results = 0;
  std::uint32_t lastResult = 0;
  engine.SetReporter([&](std::uint32_t kind, const DFUEngineReport& r) {
    if (kind != DFUENGINE_REPORT_RESULT) return;
    std::lock_guard lock(mutex);
    ++results;
    lastResult = r.result;
    ended.notify_all();
  });
  const auto waitFor = [&](int n) {
    std::unique_lock lock(mutex);
    ended.wait(lock, [&] { return results >= n; });
    return lastResult;
  };

  const std::string path = WriteTemp(Firmware(o.size));
  if (!engine.Bind(dfu::testing::SimulatedTransport::kName) ||
      !engine.StartReconfigure(0, 1, path) || waitFor(1) != 0) {
    std::fprintf(stderr, "dfu bench: reconfigure failed\n");
    return 1;
  }
  timing = true;
  const auto start = Clock::now();
  if (!engine.StartDownload(path)) return 1;
  const std::uint32_t result = waitFor(2);
  const duration<double> wall = Clock::now() - start;
  timing = false;
  std::remove(path.c_str());
  if (result != 0) {
    std::fprintf(stderr, "dfu bench: download failed: %s\n", dfu::ResultName(result).c_str());
    return 1;
  }
  // The device asks for bwPollTimeout once per block (dfuDNBUSY) and once in manifestation.
  const std::size_t image = o.size - dfu::kSuffixSize;
  const std::size_t blocks = (image + o.transferSize - 1) / o.transferSize;
  const double minimum = (blocks + 1) * o.pollMs / 1000.0 + transfers * o.costUs / 1e6;
  std::printf(
      "download: %zu bytes, %zu blocks of %u, bwPollTimeout %u ms, %zu transfers of %u us\n", image,
      blocks, o.transferSize, o.pollMs, transfers.load(), o.costUs);
  std::printf("download: wall %.4f s, device minimum %.4f s, ratio %.4f (target <= 1.02)\n",
              wall.count(), minimum, wall.count() / minimum);
  return 0;
}

double Best(int runs, const std::function<void()>& run) {
  double best = 1e9;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    run();
    best = std::min(best, duration<double>(Clock::now() - start).count());
  }
  return best;
}

int FileCheck(const Options& o) {
  const std::string path = WriteTemp(Firmware(std::size_t{o.fileMib} << 20));
  const DFUEngineHandle handle = DFUEngine_Create();
  char description[DFUENGINE_DESCRIPTION_SIZE];
  bool valid = true;
  const auto ours = [&] {
    valid &=
        DFUEngine_IsDFUFileValid(handle, path.c_str(), description, nullptr, nullptr, nullptr) != 0;
  };
  ours();  // the file in the page cache for both
  const double oursTime = Best(5, ours);
  DFUEngine_Destroy(handle);
  int toolStatus = 0;
  const std::string command = "dfu-suffix -c " + path + " >/dev/null 2>&1";
  const double toolTime = Best(5, [&] { toolStatus |= std::system(command.c_str()); });
  std::remove(path.c_str());
  std::printf("file check: %u MiB, IsDFUFileValid %.4f s (%s), dfu-suffix -c %.4f s (%s)\n",
              o.fileMib, oursTime, valid ? "valid" : "INVALID", toolTime,
              toolStatus == 0 ? "valid" : "failed or missing");
  std::printf("file check: ratio ours / dfu-suffix %.3f\n", oursTime / toolTime);
  return valid ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const auto number = [&] { return i + 1 < argc ? std::strtoul(argv[++i], nullptr, 0) : 0ul; };
    if (a == "--size")
      o.size = number();
    else if (a == "--poll-ms")
      o.pollMs = static_cast<unsigned>(number());
    else if (a == "--cost-us")
      o.costUs = static_cast<unsigned>(number());
    else if (a == "--transfer-size")
      o.transferSize = static_cast<unsigned>(number());
    else if (a == "--file-mib")
      o.fileMib = static_cast<unsigned>(number());
    else if (a == "--skip-file")
      o.file = false;
    else {
      std::fprintf(stderr,
                   "usage: qmr7-dfu-bench [--size B] [--poll-ms N] [--cost-us N] "
                   "[--transfer-size N] [--file-mib N] [--skip-file]\n");
      return 2;
    }
  }
  if (o.size <= dfu::kSuffixSize + 64 || o.transferSize == 0 || o.transferSize > 0xFFFF) return 2;
  int status = Download(o);
  if (o.file) status |= FileCheck(o);
  return status;
}
