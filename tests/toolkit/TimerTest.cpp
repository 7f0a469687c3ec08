#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "toolkit/Application.h"
#include "toolkit/Timer.h"
#include "toolkit/testing/ManualClock.h"

namespace toolkit {
namespace {

using testing::ManualClock;

class TimerTest : public ::testing::Test {
 protected:
  ManualClock clock;
  std::vector<std::uint32_t> ticks;

  void Watch(Timer& timer) {
    timer.OnTimer = [this] { ticks.push_back(clock.TickCount()); };
  }
};

TEST_F(TimerTest, StartingARunningTimerKeepsItsCount) {
  Timer timer(clock, 1000);
  Watch(timer);
  const auto t0 = clock.TickCount();
  timer.Start();
  clock.Advance(600);
  timer.Start();  // must not restart the 1000 ms count
  clock.Advance(400);
  ASSERT_EQ(ticks.size(), 1u);
  EXPECT_EQ(ticks[0], t0 + 1000);
}

TEST_F(TimerTest, StoppedThenStartedBeginsAFullCount) {
  Timer timer(clock, 1000, true);
  Watch(timer);
  clock.Advance(600);
  timer.Stop();
  timer.Start();
  clock.Advance(999);
  EXPECT_TRUE(ticks.empty());
  clock.Advance(1);
  EXPECT_EQ(ticks.size(), 1u);
}

TEST_F(TimerTest, NewIntervalOnARunningTimerRestartsTheCountSameIntervalDoesNot) {
  Timer timer(clock, 10);
  Watch(timer);
  timer.Start();
  clock.Advance(5);
  timer.SetInterval(10);  // unchanged: keeps counting
  clock.Advance(5);
  ASSERT_EQ(ticks.size(), 1u);
  timer.SetInterval(1000);  // the 10 ms timer stretched to 1000 ms once started
  const auto restart = clock.TickCount();
  clock.Advance(1000);
  ASSERT_EQ(ticks.size(), 2u);
  EXPECT_EQ(ticks[1], restart + 1000);
}

TEST_F(TimerTest, PeriodicUntilStoppedAndAOneShotStopsItself) {
  Timer periodic(clock, 100, true);
  Watch(periodic);
  Timer oneShot(clock, 100, true);
  int shots = 0;
  oneShot.OnTimer = [&] {
    oneShot.Stop();
    ++shots;
  };
  clock.Advance(350);
  EXPECT_EQ(ticks.size(), 3u);
  EXPECT_EQ(shots, 1);
  EXPECT_FALSE(oneShot.Enabled());
}

TEST_F(TimerTest, ZeroIntervalNeverFires) {
  Timer timer(clock, 0, true);
  Watch(timer);
  clock.Advance(10'000);
  EXPECT_TRUE(ticks.empty());
}

TEST_F(TimerTest, SleepBlocksTimersAndAnOverdueTimerFiresOnce) {
  Timer timer(clock, 100, true);
  Watch(timer);
  clock.Sleep(1000);
  EXPECT_TRUE(ticks.empty());
  clock.ProcessMessages();
  EXPECT_EQ(ticks.size(), 1u);
}

TEST_F(TimerTest, TimersDueTogetherFireInTheOrderTheyWereStarted) {
  std::string order;
  Timer a(clock, 50);
  Timer b(clock, 50);
  a.OnTimer = [&] {
    order += 'a';
    a.Stop();
  };
  b.OnTimer = [&] {
    order += 'b';
    b.Stop();
  };
  b.Start();
  a.Start();
  clock.Advance(50);
  EXPECT_EQ(order, "ba");
}

TEST_F(TimerTest, AnExceptionInTheHandlerIsReportedAndTheTimerGoesOn) {
  std::vector<std::string> reports;
  SetExceptionHandler([&](const std::string& text) { reports.push_back(text); });
  Timer timer(clock, 100, true);
  timer.OnTimer = [] { throw std::runtime_error("Unable to write to x"); };
  clock.Advance(200);
  SetExceptionHandler({});
  EXPECT_EQ(reports, (std::vector<std::string>{"Unable to write to x.", "Unable to write to x."}));
}

TEST_F(TimerTest, DestroyedTimerNoLongerFires) {
  {
    Timer timer(clock, 100, true);
    Watch(timer);
  }
  clock.Advance(1000);
  EXPECT_TRUE(ticks.empty());
  EXPECT_EQ(clock.ArmedTimers(), 0u);
}

}  // namespace
}  // namespace toolkit
