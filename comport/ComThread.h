// The port's event-wait worker and the state it shares with the port.
//
// The port and its worker share one reference-counted TComWaitState, so that neither depends on
// the other's lifetime:
// - the worker uses the device only while it holds `use`, and never during a hand-over; stopping
//   the worker (DestroyThread) ends the wait, takes `use` once (which takes no longer than the
//   wait needs to return) and detaches the device, so after Close the worker can no longer reach
//   the device's handles;
// - a hand-over to the UI thread is a posted call the worker waits for; stopping the worker
//   releases that wait as well, so Close never waits for a worker blocked in a hand-over, and a
//   call that runs after the stop does nothing; after the stop the worker posts nothing more, so
//   the dispatcher need only outlive the port;
// - the worker touches the port object only on the UI thread (inside hand-overs), or, with
//   SynchronizeEvents false, under `use`; stopping the worker clears `port` as well, and a port
//   destroyed by one of its own handlers stops its worker first, so nothing reaches it afterwards.
// The worker frees itself when it ends, after a stop or after a failed wait.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "comport/ComTypes.h"
#include "comport/Scheduling.h"
#include "comport/SerialDevice.h"
#include "toolkit/Dispatcher.h"

namespace comport {

class TCustomComPort;

struct TComWaitState : std::enable_shared_from_this<TComWaitState> {
  TComWaitState(TCustomComPort* owner, SerialDevice* dev, toolkit::UiDispatcher& dispatcher,
                bool synchronizeEvents)
      : ui(dispatcher), synchronize(synchronizeEvents), port(owner), device(dev) {}

  // Runs `call` on the UI thread, unless the worker has been stopped by then, and waits until it
  // has run or will never run. A stop ends the wait early unless `untilRun`. What the call throws
  // stays on the UI thread. Called on the worker without `use` held.
  void HandOver(std::function<void()> call, bool untilRun = false);

  // Ends the wait, detaches the device and lets a worker in a hand-over go. `device` is the
  // port's open device, whose wait the worker may be in.
  void Stop(SerialDevice* device);

  // The state of the worker running on the calling thread, if it is one.
  static TComWaitState* Current();

  bool Stopped() const { return terminated.load(std::memory_order_acquire); }

  // The worker's priority. Both sides apply it under one lock, so the last value set is the one the
  // worker has, and none is given to a worker that has ended (whose thread id may be reused).
  void SetPriority(TThreadPriority value);
  void WorkerStarted();
  void WorkerEnding();

  toolkit::UiDispatcher& ui;
  const bool synchronize;
  // Read on the UI thread and by the worker under `use`; cleared by Stop under `use`.
  TCustomComPort* port;

  std::mutex use;
  SerialDevice* device;  // guarded by `use`; null once stopped
  // Held by the worker while it waits or runs unsynchronised handlers; released for hand-overs.
  std::unique_lock<std::mutex> workerLock{use, std::defer_lock};

  std::atomic<bool> terminated{false};

  std::mutex priorityMutex;
  TThreadHandle workerThread = 0;  // guarded by priorityMutex; 0 before start and after the end
  TThreadPriority priority = tpNormal;  // guarded by priorityMutex

  std::mutex handMutex;
  std::condition_variable handDone;
  mutable std::mutex postMutex;  // held by the worker while it posts a hand-over
};

class TComThread {
 public:
  explicit TComThread(std::shared_ptr<TComWaitState> state) : state_(std::move(state)) {}

  // Starts the worker running; it frees itself when it ends. False when no thread could be made.
  static bool Start(const std::shared_ptr<TComWaitState>& state);

  void Execute();

 private:
  // One wait and its outcome; false when the worker is to end.
  bool ThreadProc();
  void Dispatch(std::uint32_t events);
  void ReportFailure(const toolkit::Error& error);

  std::shared_ptr<TComWaitState> state_;
};

}  // namespace comport
