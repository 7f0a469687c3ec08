#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/support/PumpUntil.h"
#include "toolkit/Application.h"
#include "toolkit/Dispatcher.h"

namespace toolkit {
namespace {

using namespace std::chrono_literals;

// Pumps on this (the UI) thread until `done` is set by the worker.
void PumpUntil(DispatchQueue& queue, const std::atomic<bool>& done) {
  EXPECT_TRUE(testsupport::PumpUntil(queue, [&] { return done.load(); }));
}

TEST(DispatchQueueTest, SynchronizeRunsOnTheUiThreadAndBlocksTheWorkerUntilDone) {
  DispatchQueue queue;
  const auto ui = std::this_thread::get_id();
  std::atomic<bool> done{false};
  std::thread::id ranOn;
  int value = 0;
  std::thread worker([&] {
    const bool ran = queue.Synchronize([&] {
      ranOn = std::this_thread::get_id();
      value = 42;
    });
    EXPECT_TRUE(ran);
    EXPECT_EQ(value, 42);  // visible to the worker once Synchronize returned
    done = true;
  });
  PumpUntil(queue, done);
  worker.join();
  EXPECT_EQ(ranOn, ui);
}

TEST(DispatchQueueTest, AnExceptionComesBackToTheWorker) {
  DispatchQueue queue;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    EXPECT_THROW(queue.Synchronize([] { throw std::runtime_error("handler failed"); }),
                 std::runtime_error);
    done = true;
  });
  PumpUntil(queue, done);
  worker.join();
}

TEST(DispatchQueueTest, OnTheUiThreadSynchronizeRunsDirectly) {
  DispatchQueue queue;
  bool ran = false;
  EXPECT_TRUE(queue.Synchronize([&] { ran = true; }));
  EXPECT_TRUE(ran);
  EXPECT_EQ(queue.Pump(), 0u);
}

TEST(DispatchQueueTest, ShutdownReleasesABlockedWorkerWithoutRunningTheCall) {
  DispatchQueue queue;
  std::atomic<bool> queued{false};
  bool ran = false;
  bool result = true;
  std::thread worker([&] {
    queued = true;
    result = queue.Synchronize([&] { ran = true; });
  });
  while (!queued.load())
    std::this_thread::yield();
  // Whether the worker is already blocked or has yet to hand over, it must come back unrun.
  queue.Shutdown();
  worker.join();
  EXPECT_FALSE(result);
  EXPECT_FALSE(ran);
}

// The owner of `wake` (the Qt loop's dispatcher) goes once Shutdown has returned: a hand-over's
// `wake` still running then would post to an object that is gone.
TEST(DispatchQueueTest, ShutdownReturnsOnlyOnceAWakeUnderWayHasReturned) {
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false, released = false;
  std::atomic<bool> first{true}, wakeReturned{false};
  DispatchQueue queue(
      [&] {
        if (!first.exchange(false)) return;
        std::unique_lock lock(mutex);
        entered = true;
        changed.notify_all();
        changed.wait(lock, [&] { return released; });
        wakeReturned = true;
      },
      false);
  std::thread worker([&] { queue.Post([] {}); });
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return entered; });
  }
  // Lets the first wake go once Shutdown has begun: Shutdown releases this blocked hand-over.
  std::thread releaser([&] {
    EXPECT_FALSE(queue.Synchronize([] {}));
    std::lock_guard lock(mutex);
    released = true;
    changed.notify_all();
  });
  queue.Shutdown();
  EXPECT_TRUE(wakeReturned.load());
  releaser.join();
  worker.join();
}

TEST(DispatchQueueTest, PostedCallsRunInOrderAndAThrowingOneIsReported) {
  std::vector<std::string> reports;
  SetExceptionHandler([&](const std::string& text) { reports.push_back(text); });
  DispatchQueue queue;
  std::vector<int> order;
  std::thread worker([&] {
    for (int i = 0; i < 3; ++i) {
      queue.Post([&order, i] {
        if (i == 1) throw std::runtime_error("boom");
        order.push_back(i);
      });
    }
  });
  worker.join();
  EXPECT_EQ(queue.Pump(), 3u);
  SetExceptionHandler({});
  EXPECT_EQ(order, (std::vector<int>{0, 2}));
  EXPECT_EQ(reports, (std::vector<std::string>{"boom."}));
}

TEST(DispatchQueueTest, ManyWorkersHandOverConcurrently) {
  DispatchQueue queue;
  constexpr int kWorkers = 4;
  constexpr int kCalls = 200;
  int total = 0;  // touched only on the UI thread
  std::atomic<int> finished{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&] {
      for (int i = 0; i < kCalls; ++i)
        queue.Synchronize([&] { ++total; });
      ++finished;
    });
  }
  EXPECT_TRUE(testsupport::PumpUntil(queue, [&] { return finished.load() == kWorkers; }));
  for (auto& t : workers)
    t.join();
  EXPECT_EQ(total, kWorkers * kCalls);
}

TEST(DispatchQueueTest, AQueueMadeWithoutWatchingOffersNoWatcher) {
  DispatchQueue queue({}, false);
  EXPECT_EQ(queue.Watcher(), nullptr);
}

}  // namespace
}  // namespace toolkit
