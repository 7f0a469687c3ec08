// Watching descriptors: platforms with poll() only.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "toolkit/Application.h"
#include "toolkit/Dispatcher.h"

namespace toolkit {
namespace {

using namespace std::chrono_literals;

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

}  // namespace
}  // namespace toolkit
