// Tests of hostile input: each case records what it gave the program and what came of it, so that
// scripts/reliability/hostile can print the table from a test run (gtest's JSON output) instead of
// anyone typing it. And a guard for calls that must return at once whatever they are given.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>

namespace testsupport {

// One row of the hostile-input table: the area ("Firmware file", "Registry", ...), the input, and
// the outcome the test observed. A test may record several rows.
inline void RecordHostile(const std::string& area, const std::string& input,
                          const std::string& outcome) {
  static int row = 0;
  ::testing::Test::RecordProperty("hostile_" + std::to_string(++row),
                                  area + "\t" + input + "\t" + outcome);
}

// Runs `job` on a thread of its own and waits at most `bound` for it; nothing when it did not end
// in time. A call that blocks is then left behind on its thread: the test has failed anyway, and
// the test program does not hang on it. `job` must own what it uses (capture by value).
template <typename Job>
std::optional<std::invoke_result_t<Job>> WithinBound(
    Job job, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
  using Result = std::invoke_result_t<Job>;
  auto promise = std::make_shared<std::promise<Result>>();
  std::future<Result> result = promise->get_future();
  std::thread([promise, job = std::move(job)]() mutable { promise->set_value(job()); }).detach();
  if (result.wait_for(bound) != std::future_status::ready) return std::nullopt;
  return result.get();
}

}  // namespace testsupport
