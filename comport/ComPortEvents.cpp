// The event mask, the worker's start and stop, and the delivery of line events.
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
  if (mask != 0) CreateThread();
}

void TCustomComPort::CreateThread() {
  if (FThread != nullptr) return;
  FThread = std::make_shared<TComWaitState>(this, FHandle.get(), ui_, synchronizeEvents_);
  FThread->SetPriority(threadPriority_);
  if (!TComThread::Start(FThread)) {
    FThread.reset();
    RaiseError(0, "Can't create thread");
  }
}

// Does not wait for the worker to end: only for it to leave the device, which the stop makes it
// do at once. A worker that already ended after a failed wait is not touched at all, only the
// state it left behind, so Close and destruction release such a port like any other, and the next
// open starts a fresh worker.
void TCustomComPort::DestroyThread() {
  if (FThread == nullptr) return;
  std::shared_ptr<TComWaitState> worker = std::move(FThread);
  worker->Stop(FHandle.get());
}

// On the UI thread, or on the worker when events are not synchronised. A handler may close the
// port: on the UI thread the rest of this wake-up's events then go to the closed port; on the
// worker they are dropped, since the UI thread may destroy the port as soon as Close returned. A
// handler on the UI thread may also destroy the port, which ends the delivery.
void TCustomComPort::ThreadDoEvent(std::uint32_t events,
                                   const std::shared_ptr<TComWaitState>& state) {
  FEventMask = events;
  const bool onUi = state->synchronize;
  TComWaitState* const outer = dispatching_;
  if (onUi) dispatching_ = state.get();
  try {
    for (int event = 0; event < kLineEventCount; ++event) {
      if ((events & kLineEvents[event].flag) == 0) continue;
      if (state->port != this || (!onUi && state->Stopped())) break;
      DeliverEvent(static_cast<LineEvent>(event));
    }
  } catch (...) {
    // Every exception, not only the framework's, is reported, and the worker goes on waiting.
    toolkit::HandleException(std::current_exception());
  }
  // From here on only a port that is still there is touched.
  if (onUi && state->port == this) dispatching_ = outer;
}

void TCustomComPort::DeliverEvent(LineEvent event) {
  WriteLog(kLineEvents[event].logText);
  if (event == kLineError) {
    CheckLineErrors();
  } else if (lineEvents_[event]) {
    // A copy, so that a handler that destroys the port does not destroy itself while it runs.
    const TNotifyEvent handler = lineEvents_[event];
    handler(this);
  }
}

void TCustomComPort::RaiseThreadError(int code) {
  FThreadError = code;
  RaiseError(code, SystemErrorText(code));
}

}  // namespace comport
