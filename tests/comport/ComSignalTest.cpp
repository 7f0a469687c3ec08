// The signal indicator: binding and unbinding every signal, pulses on a manual clock, levels on a
// port whose modem lines a test sets, and a pseudo-terminal, which has no modem lines.
#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "PtyFixture.h"
#include "comport/ComSignal.h"
#include "toolkit/testing/ManualClock.h"

namespace comport::testing {
namespace {

// A control that remembers every colour it is given.
class RecordingControl final : public TControl {
 public:
  using TControl::TControl;
  TColor Color() const override { return color; }
  void SetColor(TColor value) override {
    color = value;
    colors.push_back(value);
  }
  TColor color = 0xFFFFFF;
  std::vector<TColor> colors;
};

// A device whose modem lines the test sets; every other call succeeds and the event wait blocks
// until cancelled.
class LinesDevice final : public SerialDevice {
 public:
  explicit LinesDevice(const std::uint32_t& lines) : lines_(lines) {}
  toolkit::Error GetState(TDcb&) override { return {}; }
  toolkit::Error SetState(const TDcb&) override { return {}; }
  toolkit::Error SetupQueues(std::uint32_t, std::uint32_t) override { return {}; }
  toolkit::Error GetTimeouts(TCommTimeouts&) override { return {}; }
  toolkit::Error SetTimeouts(const TCommTimeouts&) override { return {}; }
  toolkit::Error StartRead(void*, std::size_t) override { return {}; }
  toolkit::Error StartWrite(const void*, std::size_t) override { return {}; }
  bool ReadPending() override { return false; }
  bool WritePending() override { return false; }
  toolkit::Error WaitRead(std::size_t& n) override { return n = 0, toolkit::Error{}; }
  toolkit::Error WaitWrite(std::size_t& n) override { return n = 0, toolkit::Error{}; }
  toolkit::Error SetEventMask(std::uint32_t) override { return CancelWait(), toolkit::Error{}; }
  toolkit::Error WaitEvent(std::uint32_t& events) override {
    std::unique_lock lock(mutex_);
    woken_.wait(lock, [this] { return cancelled_; });
    cancelled_ = false;
    events = 0;
    return {};
  }
  void CancelWait() override {
    const std::lock_guard lock(mutex_);
    cancelled_ = true;
    woken_.notify_all();
  }
  void CancelAll() override { CancelWait(); }
  // No descriptor: the port waits for its events on a worker.
  int EventDescriptor() const override { return -1; }
  toolkit::Error PollEvent(std::uint32_t& events) override { return events = 0, toolkit::Error{}; }
  toolkit::Error ClearErrors(TComStat& stat, std::uint32_t) override {
    return stat = {}, toolkit::Error{};
  }
  toolkit::Error Purge(std::uint32_t) override { return {}; }
  toolkit::Error Drain() override { return {}; }
  toolkit::Error TransmitChar(char) override { return {}; }
  toolkit::Error SetBreak(bool) override { return {}; }
  toolkit::Error Escape(TLineControl) override { return {}; }
  toolkit::Error GetModemStatus(std::uint32_t& status) override {
    return status = lines_, toolkit::Error{};
  }

 private:
  const std::uint32_t& lines_;
  std::mutex mutex_;
  std::condition_variable woken_;
  bool cancelled_ = false;
};

class LinesPort final : public TComPort {
 public:
  LinesPort(toolkit::UiDispatcher& ui, const std::uint32_t& lines)
      : TComPort(nullptr, ui), lines_(lines) {}

 protected:
  void CreateHandle() override { FHandle = std::make_unique<LinesDevice>(lines_); }

 private:
  const std::uint32_t& lines_;
};

class ComSignalTest : public PortTest {
 protected:
  ComSignalTest() {
    signal_->SetControl(&control_);
    signal_->SetOnSignal([this](toolkit::Component* sender) {
      EXPECT_EQ(sender, signal_.get());
      changes_.push_back(signal_->SignalValue());
    });
  }
  ~ComSignalTest() override { signal_.reset(); }

  void Bind(TSignal signal) {
    signal_->SetSignal(signal);
    signal_->SetComPort(port_.get());
  }

  toolkit::testing::ManualClock clock_;
  RecordingControl control_;
  std::unique_ptr<TComSignal> signal_ = std::make_unique<TComSignal>(nullptr, clock_);
  std::vector<bool> changes_;  // SignalValue at each OnSignal
};

TEST_F(ComSignalTest, AfterConstruction) {
  TComSignal s(nullptr, clock_);
  EXPECT_EQ(s.ColorOff(), 0x008000U);
  EXPECT_EQ(s.ColorOn(), 0x00FF00U);
  EXPECT_EQ(s.Delay(), 100);
  EXPECT_EQ(s.ComPort(), nullptr);
  EXPECT_EQ(s.Control(), nullptr);
  EXPECT_EQ(s.Signal(), siNone);
  EXPECT_FALSE(s.SignalValue());
  EXPECT_EQ(s.PulseTimer().Interval(), 100U);
  EXPECT_FALSE(s.PulseTimer().Enabled());
  EXPECT_EQ(s.About(), "TComSignal 1.0 (Linux)");
  EXPECT_EQ(port_->About(), "TComPort 1.0 (Linux)");
  s.SetAbout("something else");
  EXPECT_EQ(s.About(), "TComSignal 1.0 (Linux)");
}

// The port's handler slots an indicator may take over, each with a handler of the application's.
struct Slots {
  std::vector<TNotifyEvent> notify;  // in TCustomComPort::LineEvent order, without kLineError
  TLineErrorEvent lineError;
  TReadWriteEvent beforeWrite, afterWrite;
  TOpenCloseEvent afterOpen, afterClose;

  static Slots Of(TCustomComPort& p) {
    return {{p.OnBreak(), p.OnCTSChange(), p.OnDSRChange(), p.OnEvent1(), p.OnEvent2(),
             p.OnPrinterError(), p.OnRing(), p.OnRLSDChange(), p.OnRx80PercFull(), p.OnRxChar(),
             p.OnRxFlag(), p.OnTxEmpty()},
            p.OnLineError(),
            p.BeforeWrite(),
            p.AfterWrite(),
            p.AfterOpen(),
            p.AfterClose()};
  }
};

// Which of Slots::notify a signal takes over, or -1.
int NotifySlotOf(TSignal s) {
  switch (s) {
    case siBreak:
      return 0;
    case siCTS:
      return 1;
    case siDSR:
      return 2;
    case siEvent1:
      return 3;
    case siEvent2:
      return 4;
    case siPrinterError:
      return 5;
    case siRing:
      return 6;
    case siRLSD:
      return 7;
    case siRx80PercFull:
      return 8;
    case siRxChar:
      return 9;
    case siRxFlag:
      return 10;
    case siTxEmpty:
      return 11;
    default:
      return -1;
  }
}

TEST_F(ComSignalTest, EverySignalTakesOverItsHandlersAndUnbindingPutsThemBack) {
  std::vector<std::string> calls;
  auto notify = [&](const std::string& n) {
    return TNotifyEvent([&calls, n, this](toolkit::Component* sender) {
      EXPECT_EQ(sender, port_.get());
      calls.push_back(n);
    });
  };
  port_->SetOnBreak(notify("Break"));
  port_->SetOnCTSChange(notify("CTS"));
  port_->SetOnDSRChange(notify("DSR"));
  port_->SetOnEvent1(notify("Event1"));
  port_->SetOnEvent2(notify("Event2"));
  port_->SetOnPrinterError(notify("PrinterError"));
  port_->SetOnRing(notify("Ring"));
  port_->SetOnRLSDChange(notify("RLSD"));
  port_->SetOnRx80PercFull(notify("Rx80PercFull"));
  port_->SetOnRxChar(notify("RxChar"));
  port_->SetOnRxFlag(notify("RxFlag"));
  port_->SetOnTxEmpty(notify("TxEmpty"));
  port_->SetOnLineError([&](toolkit::Component*, TLineErrors e) {
    calls.push_back("LineError " + std::to_string(e.ToBits()));
  });
  port_->SetBeforeWrite([&](toolkit::Component*, const void*, int n, bool) {
    calls.push_back("BeforeWrite " + std::to_string(n));
  });
  port_->SetAfterWrite([&](toolkit::Component*, const void*, int n, bool) {
    calls.push_back("AfterWrite " + std::to_string(n));
  });
  port_->SetAfterOpen([&](TCustomComPort*) { calls.push_back("AfterOpen"); });
  port_->SetAfterClose([&](TCustomComPort*) { calls.push_back("AfterClose"); });
  const Slots app = Slots::Of(*port_);

  for (int value = siNone; value <= siTxEmpty; ++value) {
    const auto s = static_cast<TSignal>(value);
    SCOPED_TRACE(value);
    Bind(s);
    const Slots bound = Slots::Of(*port_);
    for (int i = 0; i < static_cast<int>(app.notify.size()); ++i) {
      EXPECT_EQ(bound.notify[i] == app.notify[i], i != NotifySlotOf(s)) << i;
    }
    EXPECT_EQ(bound.lineError == app.lineError, s != siLineError);
    EXPECT_EQ(bound.beforeWrite == app.beforeWrite, s != siTxChar);
    EXPECT_EQ(bound.afterWrite == app.afterWrite, s != siTxChar);
    EXPECT_FALSE(bound.afterOpen == app.afterOpen);
    EXPECT_FALSE(bound.afterClose == app.afterClose);

    // What the indicator installed calls the application's own handler.
    calls.clear();
    if (NotifySlotOf(s) >= 0) bound.notify[NotifySlotOf(s)](port_.get());
    if (s == siLineError) bound.lineError(port_.get(), TLineErrors{leFrame});
    if (s == siTxChar) {
      bound.beforeWrite(port_.get(), "ab", 2, true);
      bound.afterWrite(port_.get(), "ab", 2, true);
    }
    bound.afterOpen(port_.get());
    bound.afterClose(port_.get());
    std::vector<std::string> expected;
    if (NotifySlotOf(s) >= 0) {
      static const char* kNames[] = {"Break",        "CTS",          "DSR",    "Event1",
                                     "Event2",       "PrinterError", "Ring",   "RLSD",
                                     "Rx80PercFull", "RxChar",       "RxFlag", "TxEmpty"};
      expected.push_back(kNames[NotifySlotOf(s)]);
    }
    if (s == siLineError) expected.push_back("LineError 4");
    if (s == siTxChar) {
      expected.push_back("BeforeWrite 2");
      expected.push_back("AfterWrite 2");
    }
    expected.push_back("AfterOpen");
    expected.push_back("AfterClose");
    EXPECT_EQ(calls, expected);

    signal_->SetComPort(nullptr);
    const Slots unbound = Slots::Of(*port_);
    for (std::size_t i = 0; i < app.notify.size(); ++i)
      EXPECT_TRUE(unbound.notify[i] == app.notify[i]) << i;
    EXPECT_TRUE(unbound.lineError == app.lineError);
    EXPECT_TRUE(unbound.beforeWrite == app.beforeWrite);
    EXPECT_TRUE(unbound.afterWrite == app.afterWrite);
    EXPECT_TRUE(unbound.afterOpen == app.afterOpen);
    EXPECT_TRUE(unbound.afterClose == app.afterClose);
  }
}

TEST_F(ComSignalTest, NoSignalNeverLightsAndThePortsOwnOpenAndCloseHandlersStillRun) {
  std::vector<std::string> calls;
  port_->SetAfterOpen([&](TCustomComPort* p) { calls.push_back(p->Active() ? "open" : "?"); });
  port_->SetAfterClose([&](TCustomComPort* p) { calls.push_back(p->Active() ? "?" : "closed"); });
  Bind(siNone);
  for (int round = 0; round < 2; ++round) {
    port_->Open();
    port_->WriteString("x");
    port_->Close();
  }
  EXPECT_EQ(calls, (std::vector<std::string>{"open", "closed", "open", "closed"}));
  EXPECT_TRUE(changes_.empty());
  EXPECT_EQ(control_.color, clGreen);
}

TEST_F(ComSignalTest, ReceivedCharactersPulseAndTheApplicationStillHearsThem) {
  int heard = 0;
  port_->SetOnRxChar([&](toolkit::Component* sender) {
    EXPECT_EQ(sender, port_.get());
    ++heard;
    std::string bytes(static_cast<std::size_t>(port_->InputCount()), '\0');
    port_->Read(bytes.data(), static_cast<int>(bytes.size()), true);
  });
  Bind(siRxChar);
  port_->Open();
  pty_.Write("a");
  PumpUntil([&] { return heard == 1; });
  EXPECT_TRUE(signal_->SignalValue());
  EXPECT_EQ(control_.color, clLime);
  clock_.Advance(60);
  pty_.Write("b");  // within Delay: the pulse goes on, counted from here
  PumpUntil([&] { return heard == 2; });
  clock_.Advance(99);
  EXPECT_TRUE(signal_->SignalValue());
  clock_.Advance(1);
  EXPECT_FALSE(signal_->SignalValue());
  EXPECT_EQ(control_.color, clGreen);
  EXPECT_EQ(changes_, (std::vector<bool>{true, false}));
  EXPECT_FALSE(signal_->PulseTimer().Enabled());
}

TEST_F(ComSignalTest, AWriteHoldsThePulseUntilItHasEnded) {
  Bind(siTxChar);
  port_->Open();
  const TReadWriteEvent before = port_->BeforeWrite();
  const TReadWriteEvent after = port_->AfterWrite();
  before(port_.get(), "abc", 3, true);
  EXPECT_TRUE(signal_->SignalValue());
  clock_.Advance(350);  // three ticks with the write under way
  EXPECT_TRUE(signal_->SignalValue());
  after(port_.get(), "abc", 3, true);
  EXPECT_TRUE(signal_->SignalValue());
  clock_.Advance(50);  // the next tick after the write
  EXPECT_FALSE(signal_->SignalValue());
  EXPECT_EQ(changes_, (std::vector<bool>{true, false}));

  // A real write: lit at once, dark a Delay later.
  port_->WriteString("hello");
  EXPECT_EQ(pty_.Read(5), "hello");
  EXPECT_TRUE(signal_->SignalValue());
  clock_.Advance(100);
  EXPECT_FALSE(signal_->SignalValue());
}

// A write that fails never reaches AfterWrite: closing the port ends the pulse all the same, and
// the timer stops at its next tick instead of waiting for ever for the write's end.
TEST_F(ComSignalTest, AFailedWriteNoLongerHoldsThePulseOnceThePortHasClosed) {
  Bind(siTxChar);
  port_->Timeouts().SetWriteConstant(20);
  port_->Open();
  // Nobody reads the other end: the terminal's queue fills and the write ends short.
  const std::string flood(1 << 20, 'x');
  EXPECT_THROW(port_->Write(flood.data(), static_cast<int>(flood.size()), true), EComError);
  EXPECT_TRUE(signal_->SignalValue());
  port_->Close();
  EXPECT_FALSE(signal_->SignalValue());
  clock_.Advance(100);
  EXPECT_FALSE(signal_->PulseTimer().Enabled());
  EXPECT_EQ(changes_, (std::vector<bool>{true, false}));
}

TEST_F(ComSignalTest, ALineErrorPulsesAndPassesTheErrorsOn) {
  std::vector<std::uint16_t> seen;
  port_->SetOnLineError([&](toolkit::Component* sender, TLineErrors e) {
    EXPECT_EQ(sender, port_.get());
    seen.push_back(e.ToBits());
  });
  Bind(siLineError);
  port_->OnLineError()(port_.get(), TLineErrors{leOverrun, leParity});
  EXPECT_TRUE(signal_->SignalValue());
  const TLineErrors expected{leOverrun, leParity};
  EXPECT_EQ(seen, std::vector<std::uint16_t>{expected.ToBits()});
  clock_.Advance(100);
  EXPECT_FALSE(signal_->SignalValue());
}

TEST_F(ComSignalTest, ClosingEndsAPulseAtOnce) {
  Bind(siBreak);
  port_->Open();
  port_->OnBreak()(port_.get());
  EXPECT_TRUE(signal_->SignalValue());
  port_->Close();
  EXPECT_FALSE(signal_->SignalValue());
  clock_.Advance(100);  // the timer's tick finds nothing to do
  EXPECT_EQ(changes_, (std::vector<bool>{true, false}));
}

TEST_F(ComSignalTest, ALevelFollowsItsModemLine) {
  std::uint32_t lines = ms::Cts;
  LinesPort port(ui_, lines);
  int heard = 0;
  port.SetOnCTSChange([&](toolkit::Component* sender) {
    EXPECT_EQ(sender, &port);
    ++heard;
  });
  signal_->SetSignal(siCTS);
  signal_->SetComPort(&port);
  EXPECT_FALSE(signal_->SignalValue());  // closed
  port.Open();
  EXPECT_TRUE(signal_->SignalValue());
  lines = ms::Dsr;
  port.OnCTSChange()(&port);  // as the worker delivers a change
  EXPECT_FALSE(signal_->SignalValue());
  lines = ms::Cts | ms::Dsr;
  port.OnCTSChange()(&port);
  EXPECT_TRUE(signal_->SignalValue());
  EXPECT_EQ(heard, 2);
  port.Close();
  EXPECT_FALSE(signal_->SignalValue());
  port.Open();  // shows the line at once
  EXPECT_TRUE(signal_->SignalValue());
  EXPECT_EQ(changes_, (std::vector<bool>{true, false, true, false, true}));
  signal_->SetComPort(nullptr);
  EXPECT_FALSE(signal_->SignalValue());
}

// Set to a level it could not take over (another indicator was bound on top), an indicator keeps
// showing what it is bound to until it is bound again: never a line whose changes it cannot hear.
TEST_F(ComSignalTest, ALevelShowsOnlyOnceItIsBound) {
  std::uint32_t lines = ms::Cts;
  LinesPort port(ui_, lines);
  signal_->SetSignal(siRxChar);
  signal_->SetComPort(&port);
  TComSignal second(nullptr, clock_);
  second.SetSignal(siRxChar);
  second.SetComPort(&port);
  signal_->SetSignal(siCTS);
  port.Open();
  EXPECT_FALSE(signal_->SignalValue());
  port.Close();
  second.SetComPort(nullptr);
  signal_->SetComPort(nullptr);
  signal_->SetComPort(&port);  // bound again: now to CTS
  port.Open();
  EXPECT_TRUE(signal_->SignalValue());
}

TEST_F(ComSignalTest, EachLevelReadsItsOwnLine) {
  const struct {
    TSignal signal;
    std::uint32_t line;
  } cases[] = {{siCTS, ms::Cts}, {siDSR, ms::Dsr}, {siRing, ms::Ring}, {siRLSD, ms::Rlsd}};
  for (const auto& c : cases) {
    std::uint32_t lines = c.line;
    LinesPort port(ui_, lines);
    TComSignal s(nullptr, clock_);
    s.SetSignal(c.signal);
    s.SetComPort(&port);
    port.Open();
    EXPECT_TRUE(s.SignalValue()) << c.signal;
    lines = (ms::Cts | ms::Dsr | ms::Ring | ms::Rlsd) & ~c.line;
    s.UpdateSignalValue();
    EXPECT_FALSE(s.SignalValue()) << c.signal;
  }
}

// A pseudo-terminal has no modem lines: opening with a level bound succeeds and the level stays
// off.
TEST_F(ComSignalTest, OnAPseudoTerminalALevelStaysOffAndOpeningSucceeds) {
  for (TSignal s : {siCTS, siDSR, siRing, siRLSD}) {
    Bind(s);
    EXPECT_NO_THROW(port_->Open()) << s;
    EXPECT_TRUE(port_->Active());
    EXPECT_FALSE(signal_->SignalValue()) << s;
    port_->Close();
    signal_->SetComPort(nullptr);
  }
  EXPECT_TRUE(changes_.empty());
  EXPECT_TRUE(reports_.empty());
}

// Linux cannot tell when the event character comes in: binding it opens fine, the lamp stays off.
TEST_F(ComSignalTest, TheEventCharacterLeavesTheLampOffWithoutFailingTheOpen) {
  int arrivals = 0;
  port_->Characters().SetEvent('!');
  port_->SetOnRxChar([&](toolkit::Component*) {
    ++arrivals;
    std::string bytes(static_cast<std::size_t>(port_->InputCount()), '\0');
    port_->Read(bytes.data(), static_cast<int>(bytes.size()), true);
  });
  Bind(siRxFlag);
  EXPECT_NO_THROW(port_->Open());
  pty_.Write("!!!");
  PumpUntil([&] { return arrivals > 0; });
  EXPECT_FALSE(signal_->SignalValue());
  EXPECT_TRUE(changes_.empty());
}

TEST_F(ComSignalTest, ColorOnShowsAtTheNextChangeColorOffAtOnce) {
  Bind(siBreak);
  port_->OnBreak()(port_.get());
  ASSERT_EQ(control_.color, clLime);
  signal_->SetColorOn(0x0000FF);
  EXPECT_EQ(control_.color, clLime);
  clock_.Advance(100);
  EXPECT_EQ(control_.color, clGreen);
  signal_->SetColorOff(0x808080);
  EXPECT_EQ(control_.color, 0x808080U);
  port_->OnBreak()(port_.get());
  EXPECT_EQ(control_.color, 0x0000FFU);
}

TEST_F(ComSignalTest, ANewControlShowsTheStateAtOnce) {
  Bind(siBreak);
  port_->OnBreak()(port_.get());
  RecordingControl other;
  signal_->SetControl(&other);
  EXPECT_EQ(other.colors, std::vector<TColor>{clLime});
  signal_->SetControl(nullptr);
  clock_.Advance(100);
  EXPECT_EQ(other.colors, std::vector<TColor>{clLime});  // no longer bound
}

TEST_F(ComSignalTest, ADestroyedControlIsForgotten) {
  auto lamp = std::make_unique<RecordingControl>();
  signal_->SetControl(lamp.get());
  lamp.reset();
  EXPECT_EQ(signal_->Control(), nullptr);
  Bind(siBreak);
  port_->OnBreak()(port_.get());  // colours nothing
  EXPECT_TRUE(signal_->SignalValue());
}

TEST_F(ComSignalTest, ADestroyedPortIsForgottenAndNotTouchedAgain) {
  Bind(siRxChar);
  port_->Open();
  port_->OnRxChar()(port_.get());
  port_.reset();
  EXPECT_EQ(signal_->ComPort(), nullptr);
  EXPECT_FALSE(signal_->SignalValue());
  signal_->SetSignal(siBreak);
  signal_.reset();  // nothing of the port is touched (ASan watches)
}

TEST_F(ComSignalTest, DestroyingTheIndicatorGivesThePortItsHandlersBack) {
  const TNotifyEvent mine = [](toolkit::Component*) {};
  port_->SetOnRxChar(mine);
  Bind(siRxChar);
  signal_.reset();
  EXPECT_TRUE(port_->OnRxChar() == mine);
  EXPECT_FALSE(static_cast<bool>(port_->AfterOpen()));
  EXPECT_FALSE(static_cast<bool>(port_->AfterClose()));
}

TEST_F(ComSignalTest, AHandlerTheApplicationInstalledSinceStaysInstalled) {
  Bind(siRxChar);
  const TNotifyEvent later = [](toolkit::Component*) {};
  const TOpenCloseEvent laterOpen = [](TCustomComPort*) {};
  port_->SetOnRxChar(later);
  port_->SetAfterOpen(laterOpen);
  signal_->SetComPort(nullptr);
  EXPECT_TRUE(port_->OnRxChar() == later);
  EXPECT_TRUE(port_->AfterOpen() == laterOpen);
  EXPECT_FALSE(static_cast<bool>(port_->AfterClose()));  // still its own: given back
}

// Which of the port's slots the indicator holds, as the signal's table says.
void ExpectTakenOver(TCustomComPort& port, const Slots& app, TSignal s) {
  const Slots now = Slots::Of(port);
  for (int i = 0; i < static_cast<int>(app.notify.size()); ++i) {
    EXPECT_EQ(now.notify[i] == app.notify[i], i != NotifySlotOf(s)) << i;
  }
  EXPECT_EQ(now.lineError == app.lineError, s != siLineError);
  EXPECT_EQ(now.beforeWrite == app.beforeWrite, s != siTxChar);
  EXPECT_EQ(now.afterWrite == app.afterWrite, s != siTxChar);
}

TEST_F(ComSignalTest, ChangingTheSignalSwapsOnlyTheSignalsOwnHandler) {
  const struct {
    TSignal from, to;
  } cases[] = {
      {siRxChar, siBreak},  // the same slot
      {siRxChar, siCTS},   {siCTS, siLineError}, {siLineError, siTxChar},
      {siTxChar, siNone},  {siNone, siRLSD},
  };
  std::vector<std::string> calls;
  const auto notify = [&](const char* name) {
    return TNotifyEvent([&calls, name](toolkit::Component*) { calls.push_back(name); });
  };
  port_->SetOnRxChar(notify("rx"));
  port_->SetOnBreak(notify("break"));
  port_->SetOnCTSChange(notify("cts"));
  port_->SetOnRLSDChange(notify("rlsd"));
  port_->SetOnLineError([&](toolkit::Component*, TLineErrors) { calls.push_back("line"); });
  port_->SetBeforeWrite(
      [&](toolkit::Component*, const void*, int, bool) { calls.push_back("before"); });
  port_->SetAfterOpen([&](TCustomComPort*) { calls.push_back("open"); });
  port_->SetAfterClose([&](TCustomComPort*) { calls.push_back("close"); });
  const Slots app = Slots::Of(*port_);

  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.from) + " to " + std::to_string(c.to));
    Bind(c.from);
    const Slots bound = Slots::Of(*port_);
    signal_->SetSignal(c.to);
    ExpectTakenOver(*port_, app, c.to);
    // The pair every signal takes over is left as it was, and still leads to the application.
    const Slots swapped = Slots::Of(*port_);
    EXPECT_TRUE(swapped.afterOpen == bound.afterOpen);
    EXPECT_TRUE(swapped.afterClose == bound.afterClose);
    calls.clear();
    port_->Open();
    port_->Close();
    EXPECT_EQ(calls, (std::vector<std::string>{"open", "close"}));

    signal_->SetComPort(nullptr);
    ExpectTakenOver(*port_, app, siNone);
    const Slots unbound = Slots::Of(*port_);
    EXPECT_TRUE(unbound.afterOpen == app.afterOpen);
    EXPECT_TRUE(unbound.afterClose == app.afterClose);
    signal_->SetSignal(siNone);
  }
}

// The second indicator has put its handlers over the first's: the first cannot swap without
// breaking the chain, so it keeps what it holds until it is unbound.
TEST_F(ComSignalTest, ChangingTheSignalOfTheFirstOfTwoIndicatorsKeepsTheChain) {
  std::vector<std::string> calls;
  port_->SetAfterOpen([&](TCustomComPort*) { calls.push_back("app-open"); });
  port_->SetAfterClose([&](TCustomComPort*) { calls.push_back("app-close"); });
  port_->SetOnRxChar([&](toolkit::Component*) { calls.push_back("app-rx"); });
  const Slots app = Slots::Of(*port_);
  TComSignal second(nullptr, clock_);
  Bind(siRxChar);
  second.SetSignal(siRxChar);
  second.SetComPort(port_.get());

  signal_->SetSignal(siBreak);
  EXPECT_EQ(signal_->Signal(), siBreak);
  port_->OnRxChar()(port_.get());
  // Asserted: with the chain broken, opening would go round it for ever.
  ASSERT_EQ(calls, std::vector<std::string>{"app-rx"});
  EXPECT_TRUE(second.SignalValue());
  EXPECT_FALSE(signal_->SignalValue());  // no longer shows received characters
  calls.clear();
  port_->Open();
  port_->Close();
  EXPECT_EQ(calls, (std::vector<std::string>{"app-open", "app-close"}));

  second.SetComPort(nullptr);
  // Unbound in turn, the first gives back what it took, and binds its new signal next time.
  signal_->SetComPort(nullptr);
  ExpectTakenOver(*port_, app, siNone);
  EXPECT_TRUE(Slots::Of(*port_).afterOpen == app.afterOpen);
  EXPECT_TRUE(Slots::Of(*port_).afterClose == app.afterClose);
  signal_->SetComPort(port_.get());
  ExpectTakenOver(*port_, app, siBreak);
  port_->OnBreak()(port_.get());
  EXPECT_TRUE(signal_->SignalValue());
  signal_.reset();
  ExpectTakenOver(*port_, app, siNone);
}

TEST_F(ComSignalTest, TwoIndicatorsOnOnePortChainAndUnbindInReverse) {
  std::vector<std::string> calls;
  const TNotifyEvent app = [&](toolkit::Component*) { calls.push_back("app"); };
  port_->SetOnRxChar(app);
  TComSignal second(nullptr, clock_);
  Bind(siRxChar);
  second.SetSignal(siRxChar);
  second.SetComPort(port_.get());
  port_->OnRxChar()(port_.get());
  EXPECT_TRUE(signal_->SignalValue());
  EXPECT_TRUE(second.SignalValue());
  EXPECT_EQ(calls, std::vector<std::string>{"app"});
  second.SetComPort(nullptr);
  signal_->SetComPort(nullptr);
  EXPECT_TRUE(port_->OnRxChar() == app);
}

TEST_F(ComSignalTest, ReadFromAFormItBindsOnlyWhenLoaded) {
  port_->Open();
  TComSignal s(nullptr, clock_);
  RecordingControl lamp;
  s.BeginLoading();
  s.SetSignal(siRxChar);
  s.SetComPort(port_.get());
  s.SetControl(&lamp);
  s.SetDelay(250);
  EXPECT_FALSE(static_cast<bool>(port_->OnRxChar()));
  lamp.colors.clear();
  s.Loaded();
  EXPECT_TRUE(port_->OnRxChar() == TNotifyEvent::Bind(&s, &TComSignal::OnNotifySignal));
  EXPECT_EQ(lamp.colors, std::vector<TColor>{clGreen});  // painted although nothing changed
  EXPECT_EQ(s.PulseTimer().Interval(), 250U);
}

}  // namespace
}  // namespace comport::testing
