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

namespace toolkit {

class UiDispatcher {
 public:
  virtual ~UiDispatcher() = default;

  virtual bool IsUiThread() const = 0;

  // Runs `call` on the UI thread and returns once it has run: true. Called on the UI thread, runs it
  // directly. Returns false without running it when the dispatcher shuts down first, so a worker
  // never stays blocked on a UI thread that has stopped taking calls.
  virtual bool Synchronize(const std::function<void()>& call) = 0;

  // Queues `call` for the UI thread; what it throws goes to the standard exception report.
  // Dropped if the dispatcher shuts down before it runs.
  virtual void Post(std::function<void()> call) = 0;
};

// A dispatcher whose UI thread is the thread that created it. The UI thread runs queued calls in
// Pump(); `wake`, when given, is called from the handing-over thread after each hand-over so that a
// message loop can schedule a Pump().
class DispatchQueue final : public UiDispatcher {
 public:
  explicit DispatchQueue(std::function<void()> wake = {});
  ~DispatchQueue() override;

  bool IsUiThread() const override;
  bool Synchronize(const std::function<void()>& call) override;
  void Post(std::function<void()> call) override;

  // On the UI thread: runs every call queued so far, returns how many ran.
  std::size_t Pump();

  // On the UI thread: waits until a call is queued or `timeout` passes, then pumps.
  std::size_t WaitAndPump(std::chrono::milliseconds timeout);

  // Stops taking calls: queued ones are dropped and blocked Synchronize callers return false.
  void Shutdown();

 private:
  struct Job;

  void Enqueue(const std::shared_ptr<Job>& job);

  const std::thread::id uiThread_;
  const std::function<void()> wake_;
  std::mutex mutex_;
  std::condition_variable queued_;
  std::deque<std::shared_ptr<Job>> jobs_;
  bool shutDown_ = false;
};

}  // namespace toolkit
