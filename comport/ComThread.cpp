#include "comport/ComThread.h"

#include <system_error>
#include <utility>

#include "comport/ComPort.h"

namespace comport {
namespace {

thread_local TComWaitState* currentWorker = nullptr;

// Ends the hand-over it belongs to when the posted call is gone: after it ran, or when the
// dispatcher dropped it unrun.
class HandTicket {
 public:
  HandTicket(std::shared_ptr<TComWaitState> state, std::shared_ptr<bool> done)
      : state_(std::move(state)), done_(std::move(done)) {}
  ~HandTicket() {
    {
      std::lock_guard lock(state_->handMutex);
      *done_ = true;
    }
    state_->handDone.notify_all();
  }
  HandTicket(const HandTicket&) = delete;
  HandTicket& operator=(const HandTicket&) = delete;

  TComWaitState& State() const { return *state_; }

 private:
  std::shared_ptr<TComWaitState> state_;
  std::shared_ptr<bool> done_;  // guarded by the state's handMutex
};

}  // namespace

TComWaitState* TComWaitState::Current() {
  return currentWorker;
}

void TComWaitState::HandOver(std::function<void()> call, bool untilRun) {
  auto done = std::make_shared<bool>(false);
  auto ticket = std::make_shared<HandTicket>(shared_from_this(), done);
  {
    // Once stopped, the worker no longer calls into the dispatcher, which may then go away.
    std::lock_guard post(postMutex);
    if (Stopped()) return;
    ui.Post([ticket, call = std::move(call)] {
      if (ticket->State().Stopped()) return;
      try {
        call();
      } catch (...) {
        // The worker has no use for it: the call reports what the user must see itself.
      }
    });
  }
  ticket.reset();
  std::unique_lock lock(handMutex);
  handDone.wait(lock, [&] { return *done || (!untilRun && Stopped()); });
}

void TComWaitState::Stop(SerialDevice* dev) {
  terminated.store(true, std::memory_order_release);
  { std::lock_guard lock(handMutex); }
  handDone.notify_all();
  { std::lock_guard post(postMutex); }
  if (dev != nullptr) dev->CancelWait();
  if (Current() == this) {
    // A handler on the worker itself stops it: the worker holds `use` and checks the stop flag
    // before it uses the device again.
    device = nullptr;
    port = nullptr;
    return;
  }
  std::lock_guard lock(use);
  device = nullptr;
  port = nullptr;
}

void TComWaitState::SetPriority(TThreadPriority value) {
  std::lock_guard lock(priorityMutex);
  priority = value;
  SetThreadPriority(workerThread, value);
}

void TComWaitState::WorkerStarted() {
  std::lock_guard lock(priorityMutex);
  workerThread = CurrentThreadHandle();
  SetThreadPriority(workerThread, priority);
}

void TComWaitState::WorkerEnding() {
  std::lock_guard lock(priorityMutex);
  workerThread = 0;
}

bool TComThread::Start(const std::shared_ptr<TComWaitState>& state) {
  try {
    std::thread([state] {
      TComThread thread(state);
      thread.Execute();
    }).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

void TComThread::Execute() {
  currentWorker = state_.get();
  state_->WorkerStarted();
  state_->workerLock.lock();
  while (!state_->Stopped() && ThreadProc()) {
  }
  if (state_->workerLock.owns_lock()) state_->workerLock.unlock();
  state_->WorkerEnding();
  currentWorker = nullptr;
}

bool TComThread::ThreadProc() {
  SerialDevice* device = state_->device;
  if (state_->Stopped() || device == nullptr) return false;
  std::uint32_t events = 0;
  const toolkit::Error error = device->WaitEvent(events);
  if (state_->Stopped()) return false;
  if (!error) {
    if (events != 0) Dispatch(events);
    return true;
  }
  ReportFailure(error);
  return false;
}

void TComThread::Dispatch(std::uint32_t events) {
  if (!state_->synchronize) {
    state_->port->ThreadDoEvent(events, state_.get());
    return;
  }
  state_->workerLock.unlock();
  state_->HandOver([state = state_, events] {
    if (state->port != nullptr) state->port->ThreadDoEvent(events, state.get());
  });
  state_->workerLock.lock();
}

// The wait failed: the worker reports it on the UI thread and ends. A device that has gone away
// also closes the port, as the port would find out at its next request anyway.
void TComThread::ReportFailure(const toolkit::Error& error) {
  state_->workerLock.unlock();
  state_->HandOver([state = state_, error] {
    if (state->port != nullptr) state->port->RaiseThreadError(error);
  });
  if (error.kind != toolkit::ErrorKind::DeviceGone) return;
  state_->HandOver([state = state_] {
    if (state->port != nullptr) state->port->Close();
  });
}

}  // namespace comport
