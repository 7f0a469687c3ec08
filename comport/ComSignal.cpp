// The signal indicator's binding, pulses, levels and colour.
#include "comport/ComSignal.h"

#include <algorithm>

#include "comport/backend/SideServices.h"

namespace comport {
namespace {

// The port's accessors of the notify events an indicator may take over.
struct NotifyAccess {
  const TNotifyEvent& (TCustomComPort::*get)() const;
  void (TCustomComPort::*set)(TNotifyEvent);
};

enum class Display { None, Pulse, LineError, Level, Write };

struct SignalInfo {
  Display display;
  NotifyAccess access;  // for Pulse and Level
};

// Indexed by TSignal.
const SignalInfo kSignals[] = {
    {Display::None, {}},
    {Display::Pulse, {&TCustomComPort::OnBreak, &TCustomComPort::SetOnBreak}},
    {Display::Pulse, {&TCustomComPort::OnRxChar, &TCustomComPort::SetOnRxChar}},
    {Display::Write, {}},
    {Display::Level, {&TCustomComPort::OnCTSChange, &TCustomComPort::SetOnCTSChange}},
    {Display::Level, {&TCustomComPort::OnDSRChange, &TCustomComPort::SetOnDSRChange}},
    {Display::Pulse, {&TCustomComPort::OnEvent1, &TCustomComPort::SetOnEvent1}},
    {Display::Pulse, {&TCustomComPort::OnEvent2, &TCustomComPort::SetOnEvent2}},
    {Display::LineError, {}},
    {Display::Pulse, {&TCustomComPort::OnPrinterError, &TCustomComPort::SetOnPrinterError}},
    {Display::Level, {&TCustomComPort::OnRing, &TCustomComPort::SetOnRing}},
    {Display::Level, {&TCustomComPort::OnRLSDChange, &TCustomComPort::SetOnRLSDChange}},
    {Display::Pulse, {&TCustomComPort::OnRx80PercFull, &TCustomComPort::SetOnRx80PercFull}},
    {Display::Pulse, {&TCustomComPort::OnRxFlag, &TCustomComPort::SetOnRxFlag}},
    {Display::Pulse, {&TCustomComPort::OnTxEmpty, &TCustomComPort::SetOnTxEmpty}},
};
static_assert(std::size(kSignals) == siTxEmpty + 1);

}  // namespace

TComSignal::TComSignal(toolkit::Component* owner, toolkit::Clock& clock)
    : toolkit::Component(owner),
      timer_(std::make_unique<toolkit::Timer>(clock, static_cast<std::uint32_t>(delay_))) {
  timer_->OnTimer = [this] { OnTimer(); };
}

TComSignal::~TComSignal() {
  timer_.reset();
  try {
    RestoreEvents();
  } catch (...) {
    // A destructor cannot report; what the port refused stays with the port.
  }
  if (port_ != nullptr) RemoveFreeNotification(port_);
  if (control_ != nullptr) RemoveFreeNotification(control_);
}

void TComSignal::Loaded() {
  toolkit::Component::Loaded();
  RetrieveEvents();
  UpdateSignalValue();
  UpdateColor();
}

void TComSignal::Notification(toolkit::Component* component, toolkit::Operation operation) {
  toolkit::Component::Notification(component, operation);
  if (operation != toolkit::Operation::Remove) return;
  if (component != nullptr && component == port_) {
    // The port is in its destruction: its handlers go with it and must not be touched.
    timer_->Stop();
    port_ = nullptr;
    ClearSlots();
    boundSignal_ = siNone;
    writing_ = false;
    UpdateSignalValue();
  } else if (component != nullptr && component == control_) {
    SetControl(nullptr);
  }
}

// Binding.

void TComSignal::RetrieveEvents() {
  if (Loading() || Designing() || port_ == nullptr) return;
  savedAfterOpen_ = port_->AfterOpen();
  port_->SetAfterOpen(TOpenCloseEvent::Bind(this, &TComSignal::AfterOpen));
  savedAfterClose_ = port_->AfterClose();
  port_->SetAfterClose(TOpenCloseEvent::Bind(this, &TComSignal::AfterClose));
  TakeOverSignal();
}

void TComSignal::RestoreEvents() {
  if (!Designing() && port_ != nullptr) {
    if (port_->AfterOpen() == TOpenCloseEvent::Bind(this, &TComSignal::AfterOpen)) {
      port_->SetAfterOpen(savedAfterOpen_);
    }
    if (port_->AfterClose() == TOpenCloseEvent::Bind(this, &TComSignal::AfterClose)) {
      port_->SetAfterClose(savedAfterClose_);
    }
    GiveBackSignal();
  }
  ClearSlots();
  boundSignal_ = siNone;
  writing_ = false;
}

void TComSignal::TakeOverSignal() {
  const SignalInfo& info = kSignals[signal_];
  switch (info.display) {
    case Display::Pulse:
      savedNotify_ = (port_->*info.access.get)();
      (port_->*info.access.set)(TNotifyEvent::Bind(this, &TComSignal::OnNotifySignal));
      break;
    case Display::Level:
      savedModem_ = (port_->*info.access.get)();
      (port_->*info.access.set)(TNotifyEvent::Bind(this, &TComSignal::OnModemSignal));
      break;
    case Display::LineError:
      savedLineError_ = port_->OnLineError();
      port_->SetOnLineError(TLineErrorEvent::Bind(this, &TComSignal::OnLineError));
      break;
    case Display::Write:
      savedBeforeWrite_ = port_->BeforeWrite();
      port_->SetBeforeWrite(TReadWriteEvent::Bind(this, &TComSignal::BeforeWrite));
      savedAfterWrite_ = port_->AfterWrite();
      port_->SetAfterWrite(TReadWriteEvent::Bind(this, &TComSignal::AfterWrite));
      break;
    case Display::None:
      break;
  }
  boundSignal_ = signal_;
}

bool TComSignal::HoldsSignalHandlers() {
  const SignalInfo& info = kSignals[boundSignal_];
  switch (info.display) {
    case Display::Pulse:
      return (port_->*info.access.get)() == TNotifyEvent::Bind(this, &TComSignal::OnNotifySignal);
    case Display::Level:
      return (port_->*info.access.get)() == TNotifyEvent::Bind(this, &TComSignal::OnModemSignal);
    case Display::LineError:
      return port_->OnLineError() == TLineErrorEvent::Bind(this, &TComSignal::OnLineError);
    case Display::Write:
      return port_->BeforeWrite() == TReadWriteEvent::Bind(this, &TComSignal::BeforeWrite) &&
             port_->AfterWrite() == TReadWriteEvent::Bind(this, &TComSignal::AfterWrite);
    case Display::None:
      break;
  }
  return true;
}

void TComSignal::GiveBackSignal() {
  const SignalInfo& info = kSignals[boundSignal_];
  switch (info.display) {
    case Display::Pulse:
      if ((port_->*info.access.get)() == TNotifyEvent::Bind(this, &TComSignal::OnNotifySignal)) {
        (port_->*info.access.set)(savedNotify_);
      }
      savedNotify_ = nullptr;
      break;
    case Display::Level:
      if ((port_->*info.access.get)() == TNotifyEvent::Bind(this, &TComSignal::OnModemSignal)) {
        (port_->*info.access.set)(savedModem_);
      }
      savedModem_ = nullptr;
      break;
    case Display::LineError:
      if (port_->OnLineError() == TLineErrorEvent::Bind(this, &TComSignal::OnLineError)) {
        port_->SetOnLineError(savedLineError_);
      }
      savedLineError_ = nullptr;
      break;
    case Display::Write:
      if (port_->BeforeWrite() == TReadWriteEvent::Bind(this, &TComSignal::BeforeWrite)) {
        port_->SetBeforeWrite(savedBeforeWrite_);
      }
      if (port_->AfterWrite() == TReadWriteEvent::Bind(this, &TComSignal::AfterWrite)) {
        port_->SetAfterWrite(savedAfterWrite_);
      }
      savedBeforeWrite_ = nullptr;
      savedAfterWrite_ = nullptr;
      break;
    case Display::None:
      break;
  }
  boundSignal_ = siNone;
}

void TComSignal::ClearSlots() {
  savedAfterClose_ = nullptr;
  savedAfterOpen_ = nullptr;
  savedAfterWrite_ = nullptr;
  savedBeforeWrite_ = nullptr;
  savedNotify_ = nullptr;
  savedLineError_ = nullptr;
  savedModem_ = nullptr;
}

// Pulses.

void TComSignal::StartTimer() {
  timer_->SetEnabled(false);
  timer_->SetEnabled(true);
}

void TComSignal::OnNotifySignal(toolkit::Component* /*sender*/) {
  if (boundSignal_ == signal_) {
    SetSignalValue(true);
    StartTimer();
  }
  // Copies: a handler may rebind the indicator.
  const TNotifyEvent saved = savedNotify_;
  if (saved) saved(port_);
}

void TComSignal::OnLineError(toolkit::Component* /*sender*/, TLineErrors lineErrors) {
  if (boundSignal_ == signal_) {
    SetSignalValue(true);
    StartTimer();
  }
  const TLineErrorEvent saved = savedLineError_;
  if (saved) saved(port_, lineErrors);
}

void TComSignal::BeforeWrite(toolkit::Component* sender, const void* buffer, int length,
                             bool waitOnCompletion) {
  if (boundSignal_ == signal_) {
    SetSignalValue(true);
    writing_ = true;
    StartTimer();
  }
  const TReadWriteEvent saved = savedBeforeWrite_;
  if (saved) saved(sender, buffer, length, waitOnCompletion);
}

void TComSignal::AfterWrite(toolkit::Component* sender, const void* buffer, int length,
                            bool waitOnCompletion) {
  writing_ = false;
  const TReadWriteEvent saved = savedAfterWrite_;
  if (saved) saved(sender, buffer, length, waitOnCompletion);
}

void TComSignal::OnTimer() {
  if (boundSignal_ == siTxChar && writing_) return;
  timer_->Stop();
  SetSignalValue(false);
}

// Levels.

bool TComSignal::ModemLineActive() const {
  TModemStatusValue line;
  // The signal it is bound to: after a change it could not swap in, the new one shows only from
  // the next binding.
  switch (boundSignal_) {
    case siCTS:
      line = msCTS;
      break;
    case siDSR:
      line = msDSR;
      break;
    case siRing:
      line = msRing;
      break;
    case siRLSD:
      line = msRLSD;
      break;
    default:
      return false;
  }
  if (port_ == nullptr || port_->Designing() || port_->FHandle == nullptr) return false;
  // Read without raising: a tty without modem lines shows the line as off.
  std::uint32_t bits = 0;
  if (port_->FHandle->GetModemStatus(bits)) return false;
  constexpr std::uint32_t kBits[] = {ms::Cts, ms::Dsr, ms::Ring, ms::Rlsd};
  return (bits & kBits[line]) != 0;
}

void TComSignal::UpdateSignalValue() {
  SetSignalValue(port_ != nullptr && port_->Active() && ModemLineActive());
}

void TComSignal::OnModemSignal(toolkit::Component* /*sender*/) {
  UpdateSignalValue();
  const TNotifyEvent saved = savedModem_;
  if (saved) saved(port_);
}

void TComSignal::AfterOpen(TCustomComPort* comPort) {
  UpdateSignalValue();
  const TOpenCloseEvent saved = savedAfterOpen_;
  if (saved) saved(comPort);
}

void TComSignal::AfterClose(TCustomComPort* comPort) {
  // A write that failed never reached AfterWrite; none is under way on a closed port.
  writing_ = false;
  UpdateSignalValue();
  const TOpenCloseEvent saved = savedAfterClose_;
  if (saved) saved(comPort);
}

// Value and colour.

void TComSignal::SetSignalValue(bool value) {
  if (value == signalValue_) return;
  signalValue_ = value;
  UpdateColor();
  if (onSignal_) {
    const TNotifyEvent handler = onSignal_;
    handler(this);
  }
}

void TComSignal::UpdateColor() {
  if (control_ != nullptr) control_->SetColor(signalValue_ ? colorOn_ : colorOff_);
}

// Property writers.

std::string TComSignal::About() const {
  return std::string("TComSignal 1.0 (") + backend::PlatformName() + ")";
}
void TComSignal::SetAbout(const std::string& /*value*/) {}

void TComSignal::SetComPort(TCustomComPort* value) {
  if (value == port_) return;
  timer_->Stop();
  RestoreEvents();
  if (port_ != nullptr) RemoveFreeNotification(port_);
  port_ = value;
  if (port_ != nullptr) FreeNotification(port_);
  RetrieveEvents();
  UpdateSignalValue();
}

void TComSignal::SetControl(TControl* value) {
  if (value == control_) return;
  if (control_ != nullptr) RemoveFreeNotification(control_);
  control_ = value;
  if (control_ != nullptr) FreeNotification(control_);
  UpdateColor();
}

void TComSignal::SetColorOff(TColor value) {
  if (value == colorOff_) return;
  colorOff_ = value;
  UpdateColor();
}

void TComSignal::SetDelay(int milliseconds) {
  if (milliseconds == delay_) return;
  delay_ = milliseconds;
  timer_->SetInterval(static_cast<std::uint32_t>(std::max(milliseconds, 0)));
}

void TComSignal::SetSignal(TSignal value) {
  if (value == signal_) return;
  signal_ = value;
  if (port_ == nullptr || Loading() || Designing()) return;
  timer_->Stop();
  writing_ = false;
  // Only the signal's own handler changes hands: AfterOpen and AfterClose, and what they saved,
  // stay as they are, so indicators chained through them keep their order. Once another party has
  // put its handler over ours, swapping would break its chain: ours stays bound to the old signal
  // until the next unbinding, which still gives it back.
  if (HoldsSignalHandlers()) {
    GiveBackSignal();
    TakeOverSignal();
  }
  UpdateSignalValue();
}

}  // namespace comport
