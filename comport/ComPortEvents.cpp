// The event mask, the worker's start and stop, and the delivery of line events.
#include <cstdio>

#include "comport/ComPort.h"
#include "comport/ComThread.h"
#include "toolkit/Application.h"

namespace comport {
namespace {

struct LineEventInfo {
  std::uint32_t flag;
  const char* logText;
};

// In delivery order, indexed by TCustomComPort::LineEvent.
constexpr LineEventInfo kLineEvents[] = {
    {ev::Break, "Break event"},       {ev::Cts, "CTSChange event"},
    {ev::Dsr, "DSRChange event"},     {ev::Err, "LineError event"},
    {ev::Event1, "Event1 event"},     {ev::Event2, "Event2 event"},
    {ev::PErr, "PrinterError event"}, {ev::Ring, "Ring event"},
    {ev::Rlsd, "RLSDChange event"},   {ev::Rx80Full, "Rx80PercFull event"},
    {ev::RxChar, "RxChar event"},     {ev::RxFlag, "RxFlag event"},
    {ev::TxEmpty, "TxEmpty event"},
};
static_assert(std::size(kLineEvents) == TCustomComPort::kLineEventCount);

// The report shows a message box, which only the UI thread may do: a handler's exception on the
// worker is handed over. The dispatcher serves the worker until it is stopped; a worker stopped
// meanwhile (its handler closed the port) can only leave the report on standard error.
void ReportFromWorker(const TComWaitState& state, std::exception_ptr error) {
  std::lock_guard post(state.postMutex);
  if (state.Stopped()) {
    std::fprintf(stderr, "%s\n", toolkit::ExceptionReportText(error).c_str());
    return;
  }
  state.ui.Post([error] { toolkit::HandleException(error); });
}

}  // namespace

void TCustomComPort::SetLineEvent(LineEvent event, TNotifyEvent value) {
  if (value == lineEvents_[event]) return;
  lineEvents_[event] = std::move(value);
  SetComEventMask();
}

void TCustomComPort::SetOnLineError(TLineErrorEvent value) {
  if (value == onLineError_) return;
  onLineError_ = std::move(value);
  SetComEventMask();
}

std::uint32_t TCustomComPort::EventMask() const {
  std::uint32_t mask = 0;
  for (int event = 0; event < kLineEventCount; ++event) {
    const bool assigned = event == kLineError ? static_cast<bool>(onLineError_)
                                              : static_cast<bool>(lineEvents_[event]);
    if (assigned) mask |= kLineEvents[event].flag;
  }
  return mask;
}

void TCustomComPort::SetComEventMask() {
  if (!Applies()) return;
  const std::uint32_t mask = EventMask();
  if (mask == 0) DestroyThread();
  Check(FHandle->SetEventMask(mask));
  if (mask == 0) return;
  // What the loop watches depends on the events asked for.
  if (watch_ == WatchState::Input || watch_ == WatchState::Edges) WatchDevice(true);
  CreateThread();
}

// Synchronised events need no thread of their own when the UI thread's loop can watch the device:
// the loop wakes the UI thread itself, one wake-up per event instead of two in series.
void TCustomComPort::CreateThread() {
  if (FThread != nullptr || watch_ != WatchState::None) return;
  if (synchronizeEvents_ && StartWatching()) return;
  FThread = std::make_shared<TComWaitState>(this, FHandle.get(), ui_, synchronizeEvents_);
  FThread->SetPriority(threadPriority_);
  if (!TComThread::Start(FThread)) {
    FThread.reset();
    RaiseError(toolkit::Error{toolkit::ErrorKind::OsFailure, 0, "Can't create thread",
                              "start the event thread"});
  }
}

bool TCustomComPort::StartWatching() {
  if (ui_.Watcher() == nullptr || FHandle->EventDescriptor() < 0) return false;
  WatchDevice(true);
  return true;
}

void TCustomComPort::StopWatching() {
  UnwatchDevice();
  watch_ = WatchState::None;
}

// The device's input itself where it offers it for the events asked for (`input`): readable data
// then wakes the UI thread straight from the device. Otherwise, and while bytes a handler left
// queued keep the input readable, the device's event descriptor, which becomes readable only when
// something new happens.
void TCustomComPort::WatchDevice(bool input) {
  int fds[2] = {-1, -1};
  if (input) FHandle->InputDescriptors(EventMask(), fds[0], fds[1]);
  const WatchState next = fds[0] >= 0 ? WatchState::Input : WatchState::Edges;
  if (next == WatchState::Edges) fds[0] = FHandle->EventDescriptor();
  if (next == watch_ && fds[0] == watchedFds_[0] && fds[1] == watchedFds_[1]) return;
  UnwatchDevice();
  toolkit::FdWatcher* watcher = ui_.Watcher();
  // The input first: when both are ready in one round of the loop, one delivery takes everything.
  watcher->Watch(fds[0], [this, next] { DeviceReady(next == WatchState::Input); });
  if (fds[1] >= 0) watcher->Watch(fds[1], [this] { DeviceReady(false); });
  watchedFds_[0] = fds[0];
  watchedFds_[1] = fds[1];
  watch_ = next;
}

void TCustomComPort::UnwatchDevice() {
  for (int& fd : watchedFds_) {
    if (fd >= 0) ui_.Watcher()->Unwatch(fd);
    fd = -1;
  }
}

// Does not wait for the worker to end: only for it to leave the device, which the stop makes it
// do at once. A worker that already ended after a failed wait is not touched at all, only the
// state it left behind, so Close and destruction release such a port like any other, and the next
// open starts a fresh worker.
void TCustomComPort::DestroyThread() {
  StopWatching();
  if (FThread == nullptr) return;
  std::shared_ptr<TComWaitState> worker = std::move(FThread);
  worker->Stop(FHandle.get());
}

// The UI thread's loop found the device ready: one wake-up, delivered at once. A handler of this
// port that runs a nested loop does not get a second delivery inside the first (one dispatch at a
// time, as with a worker): the watch rests until the outer delivery has returned.
void TCustomComPort::DeviceReady(bool fromInput) {
  if (delivering_ != 0) {
    UnwatchDevice();
    watch_ = WatchState::Deferred;
    return;
  }
  std::uint32_t events = 0;
  const toolkit::Error error = FHandle->PollEvent(events);
  if (error) {
    WatchFailed(error);
    return;
  }
  if (events == 0) {
    // The input is readable and nothing came: bytes a handler left queued. Watching it would wake
    // the loop at every round; the event descriptor wakes it when something new comes.
    if (fromInput) WatchDevice(false);
    return;
  }
  if (!ThreadDoEvent(events, nullptr)) return;
  // Back to the input, also after bytes were left: if they still are, the next round finds
  // nothing new and turns to the event descriptor again.
  if (watch_ == WatchState::Deferred || watch_ == WatchState::Edges) WatchDevice(true);
}

// As a worker whose wait failed: the failure is reported, and events end until the port is closed
// and opened again; a device that has gone away also closes the port.
void TCustomComPort::WatchFailed(const toolkit::Error& error) {
  UnwatchDevice();
  watch_ = WatchState::Ended;
  const std::shared_ptr<std::atomic<bool>> alive = alive_;
  ++delivering_;
  try {
    RaiseThreadError(error);
  } catch (...) {
    // As from a worker: OnError has seen it, the user gets no report from the component.
  }
  if (!*alive) return;  // OnError destroyed the port
  --delivering_;
  if (error.kind != toolkit::ErrorKind::DeviceGone) return;
  try {
    Close();
  } catch (...) {
    toolkit::HandleException(std::current_exception());
  }
}

// On the UI thread (`worker` null, or synchronised), or on the worker when events are not
// synchronised. A handler may close the port: on the UI thread the rest of this wake-up's events
// then go to the closed port; on the worker they are dropped, since the UI thread may destroy the
// port as soon as Close returned. A handler on the UI thread may also destroy the port, which ends
// the delivery. Returns whether the port is still there.
bool TCustomComPort::ThreadDoEvent(std::uint32_t events, const TComWaitState* worker) {
  FEventMask = events;
  const bool onUi = worker == nullptr || worker->synchronize;
  const std::shared_ptr<std::atomic<bool>> alive = alive_;
  if (onUi) ++delivering_;
  try {
    for (int event = 0; event < kLineEventCount; ++event) {
      if ((events & kLineEvents[event].flag) == 0) continue;
      if (!*alive || (!onUi && worker->Stopped())) break;
      DeliverEvent(static_cast<LineEvent>(event));
    }
  } catch (...) {
    // Every exception, not only the framework's, is reported, and the events go on.
    if (onUi) {
      toolkit::HandleException(std::current_exception());
    } else {
      ReportFromWorker(*worker, std::current_exception());
    }
  }
  // From here on only a port that is still there is touched.
  if (!*alive) return false;
  if (onUi) --delivering_;
  return true;
}

void TCustomComPort::DeliverEvent(LineEvent event) {
  WriteLog(kLineEvents[event].logText);
  if (event == kLineError) {
    CheckLineErrors();
  } else if (lineEvents_[event]) {
    // The event holds its handler while it runs, also through the port's destruction.
    lineEvents_[event](this);
  }
}

void TCustomComPort::RaiseThreadError(const toolkit::Error& error) {
  FThreadError = error;
  RaiseError(error);
}

}  // namespace comport
