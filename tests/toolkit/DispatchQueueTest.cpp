#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
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

// A pipe whose read end a test watches.
struct Pipe {
  Pipe() { EXPECT_EQ(::pipe(fds), 0); }
  ~Pipe() {
    ::close(fds[0]);
    ::close(fds[1]);
  }
  void Put() const { EXPECT_EQ(::write(fds[1], "x", 1), 1); }
  void Take() const {
    char c;
    EXPECT_EQ(::read(fds[0], &c, 1), 1);
  }
  int fds[2] = {-1, -1};
};

TEST(DispatchQueueTest, AWatchRunsOnTheUiThreadWhileItsDescriptorIsReadable) {
  DispatchQueue queue;
  ASSERT_NE(queue.Watcher(), nullptr);
  Pipe pipe;
  int runs = 0;
  queue.Watcher()->Watch(pipe.fds[0], [&] { ++runs; });
  EXPECT_EQ(queue.Pump(), 0u);  // nothing to read yet
  pipe.Put();
  EXPECT_EQ(queue.Pump(), 1u);
  EXPECT_EQ(queue.Pump(), 1u);  // still readable: again
  pipe.Take();
  EXPECT_EQ(queue.Pump(), 0u);
  EXPECT_EQ(runs, 2);
  queue.Watcher()->Unwatch(pipe.fds[0]);
  pipe.Put();
  EXPECT_EQ(queue.Pump(), 0u);
}

TEST(DispatchQueueTest, WaitAndPumpWakesForAWatchedDescriptorAndForAHandOver) {
  DispatchQueue queue;
  Pipe pipe;
  std::atomic<bool> ready{false};
  queue.Watch(pipe.fds[0], [&] {
    pipe.Take();
    ready = true;
  });
  std::thread writer([&] { pipe.Put(); });
  while (!ready.load())
    queue.WaitAndPump(10s);  // would take 10 s if the descriptor did not wake it
  writer.join();
  std::atomic<bool> handedOver{false};
  std::thread worker([&] { queue.Synchronize([&] { handedOver = true; }); });
  while (!handedOver.load())
    queue.WaitAndPump(10s);  // nor the hand-over, while it waits in poll()
  worker.join();
}

TEST(DispatchQueueTest, AWatchMayEndItselfAndAThrowingOneIsReported) {
  std::vector<std::string> reports;
  SetExceptionHandler([&](const std::string& text) { reports.push_back(text); });
  DispatchQueue queue;
  Pipe a, b;
  int runsA = 0;
  queue.Watch(a.fds[0], [&] {
    ++runsA;
    queue.Unwatch(a.fds[0]);
  });
  queue.Watch(b.fds[0], [] { throw std::runtime_error("watch failed"); });
  a.Put();
  b.Put();
  EXPECT_EQ(queue.Pump(), 2u);
  EXPECT_EQ(queue.Pump(), 1u);  // only b is left
  SetExceptionHandler({});
  EXPECT_EQ(runsA, 1);
  EXPECT_EQ(reports, (std::vector<std::string>{"watch failed.", "watch failed."}));
}

TEST(DispatchQueueTest, AQueueMadeWithoutWatchingOffersNoWatcher) {
  DispatchQueue queue({}, false);
  EXPECT_EQ(queue.Watcher(), nullptr);
}

}  // namespace
}  // namespace toolkit
