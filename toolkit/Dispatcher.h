// Hand-over of calls from worker threads to the UI thread.
//
// Synchronize runs a call on the UI thread and blocks the calling thread until it has run; an
// exception the call throws is thrown again in the calling thread. Post queues a call and returns
// at once. Calls run in the order they were handed over, one at a time, between other UI work.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "toolkit/FdWatcher.h"

namespace toolkit {

class UiDispatcher {
 public:
  virtual ~UiDispatcher() = default;

  virtual bool IsUiThread() const = 0;

  // Runs `call` on the UI thread and returns once it has run: true. Called on the UI thread, runs
  // it directly. Returns false without running it when the dispatcher shuts down first, so a worker
  // never stays blocked on a UI thread that has stopped taking calls.
  virtual bool Synchronize(const std::function<void()>& call) = 0;

  // Queues `call` for the UI thread; what it throws goes to the standard exception report.
  // Dropped if the dispatcher shuts down before it runs.
  virtual void Post(std::function<void()> call) = 0;

  // The UI thread's watcher of descriptors; null when this dispatcher's loop cannot watch them, so
  // a device has to be waited for on a thread of its own.
  virtual FdWatcher* Watcher() { return nullptr; }
};

// A dispatcher whose UI thread is the thread that created it. The UI thread runs queued calls in
// Pump(); `wake`, when given, is called from the handing-over thread after each hand-over so that a
// message loop can schedule a Pump(). Unless `watcher` is false, it also watches descriptors with
// poll(): Pump() runs the watches that are ready then, and WaitAndPump() wakes for them as well.
class DispatchQueue final : public UiDispatcher, public FdWatcher {
 public:
  explicit DispatchQueue(std::function<void()> wake = {}, bool watcher = true);
  ~DispatchQueue() override;

  bool IsUiThread() const override;
  bool Synchronize(const std::function<void()>& call) override;
  void Post(std::function<void()> call) override;
  FdWatcher* Watcher() override { return watcher_ ? this : nullptr; }

  void Watch(int fd, std::function<void()> ready) override;
  void Unwatch(int fd) override;

  // On the UI thread: runs every call queued so far and every watch that is ready now, returns how
  // many ran.
  std::size_t Pump();

  // On the UI thread: waits until a call is queued, a watched descriptor is ready or `timeout`
  // passes, then pumps.
  std::size_t WaitAndPump(std::chrono::milliseconds timeout);

  // Stops taking calls: queued ones are dropped and blocked Synchronize callers return false.
  // Returns once no `wake` is running any more, so its owner may then go.
  void Shutdown();

 private:
  struct Job;
  struct WatchEntry;

  void Enqueue(const std::shared_ptr<Job>& job);
  // Calls `wake` for a hand-over that Enqueue counted in wakesUnderWay_.
  void WakeAfterHandOver();
  std::size_t RunReadyWatches();

  const std::thread::id uiThread_;
  const std::function<void()> wake_;
  std::mutex mutex_;
  std::condition_variable queued_;
  std::deque<std::shared_ptr<Job>> jobs_;
  bool shutDown_ = false;
  // Hand-overs whose `wake` has not returned yet: Shutdown waits for them.
  int wakesUnderWay_ = 0;
  std::condition_variable wakesDone_;

  // Watches, touched only on the UI thread. A wait in poll() is woken through the pipe when a call
  // is queued meanwhile.
  const bool watcher_;
  std::vector<std::shared_ptr<WatchEntry>> watches_;
  int wakePipe_[2] = {-1, -1};
  bool polling_ = false;  // guarded by mutex_
};

}  // namespace toolkit
