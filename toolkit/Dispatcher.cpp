#include "toolkit/Dispatcher.h"

#include <utility>

#include "toolkit/Application.h"

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

DispatchQueue::DispatchQueue(std::function<void()> wake)
    : uiThread_(std::this_thread::get_id()), wake_(std::move(wake)) {}

DispatchQueue::~DispatchQueue() { Shutdown(); }

bool DispatchQueue::IsUiThread() const { return std::this_thread::get_id() == uiThread_; }

void DispatchQueue::Enqueue(const std::shared_ptr<Job>& job) {
  jobs_.push_back(job);
  queued_.notify_one();
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
  if (wake_) wake_();
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
  if (wake_) wake_();
}

std::size_t DispatchQueue::Pump() {
  std::size_t count = 0;
  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::lock_guard lock(mutex_);
      if (jobs_.empty()) return count;
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
  {
    std::unique_lock lock(mutex_);
    queued_.wait_for(lock, timeout, [&] { return !jobs_.empty() || shutDown_; });
  }
  return Pump();
}

void DispatchQueue::Shutdown() {
  std::deque<std::shared_ptr<Job>> dropped;
  std::lock_guard lock(mutex_);
  shutDown_ = true;
  dropped.swap(jobs_);
  for (auto& job : dropped) {
    if (!job->synchronous) continue;
    job->finished = true;
    job->done.notify_all();
  }
  queued_.notify_all();
}

}  // namespace toolkit
