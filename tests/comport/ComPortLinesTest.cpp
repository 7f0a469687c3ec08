// Modem-line and line-error events, on a pseudo-terminal given modem lines and counters by a
// stand-in null modem, in each way events can be delivered. The test thread is the UI thread.
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <atomic>
#include <thread>

#include "NullModem.h"
#include "PtyFixture.h"

namespace comport::testing {
namespace {

enum class Delivery { Watched, HandedOver, OnWorker };

class LinesTest : public PortTest, public ::testing::WithParamInterface<Delivery> {
 protected:
  LinesTest() : PortTest(GetParam() != Delivery::HandedOver) {
    port_->SetSynchronizeEvents(GetParam() != Delivery::OnWorker);
  }

  void ExpectHandlerThread() const {
    EXPECT_EQ(std::this_thread::get_id() == ui_thread_, GetParam() != Delivery::OnWorker);
  }

  // The line watch is in TIOCMIWAIT for exactly these lines.
  void AwaitLineWait(int lines) {
    PumpUntil([&] { return modem_.Waiters() == 1 && modem_.WaitedLines() == lines; });
  }

  NullModem modem_;  // before the port opens, so that the device finds its lines
  const std::thread::id ui_thread_ = std::this_thread::get_id();
};

std::string DeliveryName(const ::testing::TestParamInfo<Delivery>& param) {
  switch (param.param) {
    case Delivery::Watched:
      return "WatchedByTheUiLoop";
    case Delivery::HandedOver:
      return "HandedOverByAWorker";
    case Delivery::OnWorker:
      break;
  }
  return "RunOnTheWorker";
}

INSTANTIATE_TEST_SUITE_P(Modes, LinesTest,
                         ::testing::Values(Delivery::Watched, Delivery::HandedOver,
                                           Delivery::OnWorker),
                         DeliveryName);

struct LineCase {
  const char* name;
  int line;
  void (TCustomComPort::*set)(TNotifyEvent);
};

// A pulse is over long before anything could sample it: the driver's counters still show it.
TEST_P(LinesTest, APulseOnAModemLineRaisesItsEvent) {
  const LineCase cases[] = {
      {"CTS", TIOCM_CTS, &TCustomComPort::SetOnCTSChange},
      {"DSR", TIOCM_DSR, &TCustomComPort::SetOnDSRChange},
      {"carrier", TIOCM_CAR, &TCustomComPort::SetOnRLSDChange},
      {"ring", TIOCM_RNG, &TCustomComPort::SetOnRing},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::atomic<int> calls{0};
    (port_.get()->*c.set)([&](toolkit::Component* sender) {
      EXPECT_EQ(sender, port_.get());
      ExpectHandlerThread();
      ++calls;
    });
    port_->Open();
    AwaitLineWait(c.line);
    const int begun = modem_.WaitsBegun();
    modem_.Pulse(c.line);
    PumpUntil([&] { return calls == 1; });
    // A change in the moment between two waits would be reported only with the next change, so
    // the next one comes once the line watch waits again.
    PumpUntil([&] { return modem_.WaitsBegun() > begun && modem_.Waiters() == 1; });
    modem_.Set(c.line, true);
    PumpUntil([&] { return calls == 2; });
    port_->Close();
    (port_.get()->*c.set)(nullptr);
  }
}

TEST_P(LinesTest, TheLineWaitFollowsTheHandlersAndEndsWithThePort) {
  port_->SetOnCTSChange([](toolkit::Component*) {});
  port_->Open();
  AwaitLineWait(TIOCM_CTS);
  port_->SetOnRing([](toolkit::Component*) {});
  AwaitLineWait(TIOCM_CTS | TIOCM_RNG);
  port_->Close();  // interrupts the wait: the thread in it has ended when Close returns
  EXPECT_EQ(modem_.Waiters(), 0);
}

TEST_P(LinesTest, ALineErrorIsReportedWithTheByteItCameWith) {
  std::atomic<int> calls{0};
  std::atomic<std::uint16_t> errors{0};
  port_->SetOnLineError([&](toolkit::Component*, TLineErrors e) {
    ExpectHandlerThread();
    errors = e.ToBits();
    ++calls;
  });
  port_->Open();
  modem_.CountFrameError();
  pty_.Write(std::string(1, '\0'));  // a framing error reads as a NUL
  PumpUntil([&] { return calls == 1; });
  EXPECT_EQ(TLineErrors::FromBits(errors), TLineErrors{leFrame});
}

}  // namespace
}  // namespace comport::testing
