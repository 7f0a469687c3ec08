#include "toolkit/Dispatcher.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "toolkit/Application.h"
#include "toolkit/Descriptors.h"

namespace toolkit {

struct DispatchQueue::Job {
  std::function<void()> call;
  bool synchronous = false;
  // Guarded by the queue's mutex; the waiting thread sleeps on `done`.
  bool finished = false;
  bool ran = false;
  std::exception_ptr error;
  std::condition_variable done;
};

struct DispatchQueue::WatchEntry {
  int fd;
  std::function<void()> ready;
  bool active = true;
};

DispatchQueue::DispatchQueue(std::function<void()> wake, bool watcher)
    : uiThread_(std::this_thread::get_id()),
      wake_(std::move(wake)),
      watcher_(watcher && descriptors::Available()) {
  if (watcher_ && !descriptors::MakeWakePipe(wakePipe_)) wakePipe_[0] = wakePipe_[1] = -1;
}

DispatchQueue::~DispatchQueue() {
  Shutdown();
  for (int fd : wakePipe_) {
    if (fd >= 0) descriptors::Close(fd);
  }
}

bool DispatchQueue::IsUiThread() const {
  return std::this_thread::get_id() == uiThread_;
}

void DispatchQueue::Enqueue(const std::shared_ptr<Job>& job) {
  jobs_.push_back(job);
  queued_.notify_one();
  if (polling_) descriptors::Wake(wakePipe_[1]);
  if (wake_) ++wakesUnderWay_;
}

// Outside the lock, as `wake` may take a lock of its own; a shutdown meanwhile waits for it, so
// that the loop `wake` posts to is still there.
void DispatchQueue::WakeAfterHandOver() {
  if (!wake_) return;
  struct Done {
    DispatchQueue& queue;
    ~Done() {
      std::lock_guard lock(queue.mutex_);
      if (--queue.wakesUnderWay_ == 0) queue.wakesDone_.notify_all();
    }
  } done{*this};
  wake_();
}

void DispatchQueue::Watch(int fd, std::function<void()> ready) {
  Unwatch(fd);
  watches_.push_back(std::make_shared<WatchEntry>(WatchEntry{fd, std::move(ready)}));
}

void DispatchQueue::Unwatch(int fd) {
  for (auto& watch : watches_) {
    if (watch->fd == fd) watch->active = false;
  }
  std::erase_if(watches_, [fd](const auto& watch) { return watch->fd == fd; });
}

// Runs the watches whose descriptors are readable now; returns how many ran.
std::size_t DispatchQueue::RunReadyWatches() {
  if (watches_.empty()) return 0;
  const std::vector<std::shared_ptr<WatchEntry>> watches = watches_;
  std::vector<int> fds;
  for (const auto& watch : watches)
    fds.push_back(watch->fd);
  std::vector<bool> ready;
  descriptors::PollReadable(fds, ready, 0);
  std::size_t count = 0;
  for (std::size_t i = 0; i < watches.size(); ++i) {
    if (!ready[i] || !watches[i]->active) continue;
    ++count;
    try {
      watches[i]->ready();
    } catch (...) {
      HandleException(std::current_exception());
    }
  }
  return count;
}

bool DispatchQueue::Synchronize(const std::function<void()>& call) {
  if (IsUiThread()) {
    call();
    return true;
  }
  auto job = std::make_shared<Job>();
  job->call = call;
  job->synchronous = true;
  std::unique_lock lock(mutex_);
  if (shutDown_) return false;
  Enqueue(job);
  lock.unlock();
  WakeAfterHandOver();
  lock.lock();
  job->done.wait(lock, [&] { return job->finished; });
  if (job->error) std::rethrow_exception(job->error);
  return job->ran;
}

void DispatchQueue::Post(std::function<void()> call) {
  auto job = std::make_shared<Job>();
  job->call = std::move(call);
  {
    std::lock_guard lock(mutex_);
    if (shutDown_) return;
    Enqueue(job);
  }
  WakeAfterHandOver();
}

std::size_t DispatchQueue::Pump() {
  std::size_t count = 0;
  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock lock(mutex_);
      if (jobs_.empty()) {
        lock.unlock();
        return count + RunReadyWatches();
      }
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    std::exception_ptr error;
    try {
      job->call();
    } catch (...) {
      error = std::current_exception();
    }
    ++count;
    if (job->synchronous) {
      std::lock_guard lock(mutex_);
      job->error = error;
      job->ran = true;
      job->finished = true;
      job->done.notify_all();
    } else if (error) {
      HandleException(error);
    }
  }
}

std::size_t DispatchQueue::WaitAndPump(std::chrono::milliseconds timeout) {
  if (watches_.empty()) {
    std::unique_lock lock(mutex_);
    queued_.wait_for(lock, timeout, [&] { return !jobs_.empty() || shutDown_; });
  } else {
    {
      std::lock_guard lock(mutex_);
      polling_ = jobs_.empty() && !shutDown_;
    }
    // Only waits: the watches that are ready run in the Pump below, after the queued calls.
    if (polling_) {
      std::vector<int> fds;
      for (const auto& watch : watches_)
        fds.push_back(watch->fd);
      if (wakePipe_[0] >= 0) fds.push_back(wakePipe_[0]);
      const int ms = static_cast<int>(std::min<std::chrono::milliseconds::rep>(
          timeout.count(), std::numeric_limits<int>::max()));
      std::vector<bool> ready;
      descriptors::PollReadable(fds, ready, ms);
      std::lock_guard lock(mutex_);
      polling_ = false;
    }
    if (wakePipe_[0] >= 0) descriptors::Drain(wakePipe_[0]);
  }
  return Pump();
}

void DispatchQueue::Shutdown() {
  std::deque<std::shared_ptr<Job>> dropped;
  std::unique_lock lock(mutex_);
  shutDown_ = true;
  dropped.swap(jobs_);
  for (auto& job : dropped) {
    if (!job->synchronous) continue;
    job->finished = true;
    job->done.notify_all();
  }
  queued_.notify_all();
  wakesDone_.wait(lock, [this] { return wakesUnderWay_ == 0; });
}

}  // namespace toolkit
