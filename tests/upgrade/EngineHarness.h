// The engine of the C interface on a chosen transport, with every report it sends recorded.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "upgrade/DFUEngine.h"
#include "upgrade/DfuEngineCore.h"

namespace dfu::testing {

// Generous: only a broken engine ever makes a test wait this long.
inline constexpr std::chrono::seconds kSafetyTimeout{10};

struct Received {
  std::uint32_t kind;
  DFUEngineReport report;
};

// The callback has no context argument, so the recorder in use is process-wide.
class ReportRecorder {
 public:
  ReportRecorder() { current_ = this; }
  ~ReportRecorder() { current_ = nullptr; }

  static void DFUENGINE_CALL Callback(std::uint32_t kind, const DFUEngineReport* report) {
    ReportRecorder* self = current_;
    if (self == nullptr) return;
    {
      std::lock_guard lock(self->mutex_);
      self->reports_.push_back({kind, *report});
    }
    self->arrived_.notify_all();
  }

  // Waits for the kind-2 report number `count` (from 1); false after the safety time-out.
  bool WaitForResults(std::size_t count) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, kSafetyTimeout, [&] { return ResultsLocked() >= count; });
  }

  std::vector<Received> Reports() const {
    std::lock_guard lock(mutex_);
    return reports_;
  }

  std::size_t Results() const {
    std::lock_guard lock(mutex_);
    return ResultsLocked();
  }

 private:
  std::size_t ResultsLocked() const {
    std::size_t n = 0;
    for (const auto& r : reports_)
      n += r.kind == DFUENGINE_REPORT_RESULT ? 1 : 0;
    return n;
  }

  static inline std::atomic<ReportRecorder*> current_{nullptr};
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Received> reports_;
};

// Starts an operation and waits for its kind-2 report; the report, or a failed test.
template <typename Start>
DFUEngineReport RunOperation(ReportRecorder& recorder, Start start) {
  const std::size_t before = recorder.Results();
  EXPECT_TRUE(start()) << "the operation did not start";
  EXPECT_TRUE(recorder.WaitForResults(before + 1)) << "no end report";
  DFUEngineReport last{};
  for (const auto& r : recorder.Reports()) {
    if (r.kind == DFUENGINE_REPORT_RESULT) last = r.report;
  }
  return last;
}

// Binds `name` and runs the three operations as the window does, stopping at the first failure.
inline DFUEngineReport RunUpgrade(ReportRecorder& recorder, DFUEngineHandle handle,
                                  const char* name, const std::string& path) {
  EXPECT_EQ(DFUEngine_CreateUSB(handle, name), 1);
  DFUEngineReport r = RunOperation(
      recorder, [&] { return DFUEngine_StartReconfigure(handle, 0, 1, path.c_str()) != 0; });
  if (r.result == 0) {
    r = RunOperation(recorder, [&] { return DFUEngine_StartDownload(handle, path.c_str()) != 0; });
  }
  if (r.result == 0) {
    r = RunOperation(recorder, [&] { return DFUEngine_StartManifest(handle) != 0; });
  }
  return r;
}

}  // namespace dfu::testing
