// Waiting in a test for what other threads hand to the UI thread: pump until a condition holds,
// with a generous bound, so that a lost event fails the test instead of hanging it and a slow
// machine never does. One pump may run several hand-overs, so a condition says "at least" where
// more events may follow ("calls >= 2", not "calls == 2").
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <type_traits>

#include "toolkit/Dispatcher.h"

namespace testsupport {

inline constexpr std::chrono::seconds kPumpBound{10};

// `pump` is the test's UI queue, or a callable that pumps once and may wait a little for work.
template <typename Pump, typename Done>
[[nodiscard]] ::testing::AssertionResult PumpUntil(Pump&& pump, Done&& done,
                                                   std::chrono::seconds bound = kPumpBound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return ::testing::AssertionFailure()
             << "condition not reached within " << bound.count() << " s";
    }
    if constexpr (std::is_invocable_v<Pump&>) {
      pump();
    } else {
      static_assert(std::is_base_of_v<toolkit::DispatchQueue, std::remove_cvref_t<Pump>>);
      pump.WaitAndPump(std::chrono::milliseconds(10));
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace testsupport
