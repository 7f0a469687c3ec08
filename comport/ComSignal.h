// The signal indicator: a lamp for one line signal or line event of a port.
//
// It takes over the port's handler for the chosen event (and AfterOpen and AfterClose), calls the
// handler that was there before, and colours a control: ColorOn while the signal is active,
// ColorOff otherwise. Modem lines (CTS, DSR, RING, RLSD) show their level; events show a pulse
// that ends Delay milliseconds after the last one (a write keeps it lit until it has ended).
//
// On Linux a tty without modem lines (a pseudo-terminal) shows a level signal as off, and the
// event character (siRxFlag) is never reported: binding either never makes opening fail.
//
// The indicator registers for the removal of its port and its control, so either may be destroyed
// first: it then forgets it (a destroyed port is not touched again). Unbinding puts a taken-over
// handler back only while the port still holds the indicator's own, so several indicators on one
// port must be unbound in the reverse order of binding. Changing Signal while bound swaps only the
// signal's own handler; if another party has installed its handler over ours since, the new
// Signal is stored and shows from the next binding, and unbinding gives back what was taken. Either
// way a port never keeps a handler of an indicator that has gone.
//
// Threads: the UI thread only; the port must deliver its line events synchronously (its default).
// Errors: none of its own; what the port's setters raise reaches the caller.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "comport/ComPort.h"
#include "toolkit/Clock.h"
#include "toolkit/Component.h"
#include "toolkit/Timer.h"

namespace comport {

// 0x00BBGGRR.
using TColor = std::uint32_t;
inline constexpr TColor clGreen = 0x008000;
inline constexpr TColor clLime = 0x00FF00;

enum TSignal : std::uint8_t {
  siNone,
  siBreak,
  siRxChar,
  siTxChar,
  siCTS,
  siDSR,
  siEvent1,
  siEvent2,
  siLineError,
  siPrinterError,
  siRing,
  siRLSD,
  siRx80PercFull,
  siRxFlag,
  siTxEmpty
};

// What an indicator colours: of a control it uses only the colour.
class TControl : public toolkit::Component {
 public:
  explicit TControl(toolkit::Component* owner = nullptr) : toolkit::Component(owner) {}
  virtual TColor Color() const = 0;
  virtual void SetColor(TColor color) = 0;
};

class TComSignal : public toolkit::Component {
 public:
  // The pulse timer runs on `clock`, which must outlive the indicator.
  TComSignal(toolkit::Component* owner, toolkit::Clock& clock);
  ~TComSignal() override;

  void Loaded() override;

  std::string About() const;
  void SetAbout(const std::string& value);
  TColor ColorOff() const { return colorOff_; }
  void SetColorOff(TColor value);
  TColor ColorOn() const { return colorOn_; }
  void SetColorOn(TColor value) { colorOn_ = value; }  // shows at the next change
  TCustomComPort* ComPort() const { return port_; }
  void SetComPort(TCustomComPort* value);
  TControl* Control() const { return control_; }
  void SetControl(TControl* value);
  int Delay() const { return delay_; }
  void SetDelay(int milliseconds);
  TSignal Signal() const { return signal_; }
  void SetSignal(TSignal value);
  bool SignalValue() const { return signalValue_; }
  const TNotifyEvent& OnSignal() const { return onSignal_; }
  void SetOnSignal(TNotifyEvent value) { onSignal_ = std::move(value); }

  // Binding to and unbinding from the port.
  void RetrieveEvents();
  void RestoreEvents();

  // A full Delay counts from now.
  void StartTimer();
  void SetSignalValue(bool value);
  void UpdateSignalValue();
  void UpdateColor();

  // The handlers installed in the port.
  void OnNotifySignal(toolkit::Component* sender);
  void OnLineError(toolkit::Component* sender, TLineErrors lineErrors);
  void OnModemSignal(toolkit::Component* sender);
  void BeforeWrite(toolkit::Component* sender, const void* buffer, int length,
                   bool waitOnCompletion);
  void AfterWrite(toolkit::Component* sender, const void* buffer, int length,
                  bool waitOnCompletion);
  void AfterOpen(TCustomComPort* comPort);
  void AfterClose(TCustomComPort* comPort);
  void OnTimer();

  // The pulse timer, for those who look at it.
  const toolkit::Timer& PulseTimer() const { return *timer_; }

 protected:
  void Notification(toolkit::Component* component, toolkit::Operation operation) override;

 private:
  bool ModemLineActive() const;
  void ClearSlots();
  // The handler(s) of the signal bound, as opposed to the AfterOpen and AfterClose pair.
  void TakeOverSignal();
  void GiveBackSignal();
  bool HoldsSignalHandlers();

  TColor colorOff_ = clGreen;
  TColor colorOn_ = clLime;
  TCustomComPort* port_ = nullptr;
  TControl* control_ = nullptr;
  int delay_ = 100;
  TSignal signal_ = siNone;
  // The signal whose handler the port holds for us; differs from signal_ only after a change of
  // Signal that could not swap handlers.
  TSignal boundSignal_ = siNone;
  bool signalValue_ = false;
  TNotifyEvent onSignal_;

  std::unique_ptr<toolkit::Timer> timer_;
  bool writing_ = false;

  // The port's handlers taken over, empty when not in use.
  TOpenCloseEvent savedAfterClose_;
  TOpenCloseEvent savedAfterOpen_;
  TReadWriteEvent savedAfterWrite_;
  TReadWriteEvent savedBeforeWrite_;
  TNotifyEvent savedNotify_;
  TLineErrorEvent savedLineError_;
  TNotifyEvent savedModem_;
};

}  // namespace comport
