// Opening and closing on a real pseudo-terminal: the line settings the tty ends up with, events and
// their order, and the failures.
#include <sys/resource.h>
#include <termios.h>

#include <cerrno>

#include "PtyFixture.h"
#include "toolkit/Application.h"
#include "toolkit/Exception.h"

namespace comport::testing {
namespace {

using OpenCloseTest = PortTest;

termios SlaveTermios(const PtyPair& pty) {
  termios t{};
  EXPECT_EQ(tcgetattr(pty.Observer(), &t), 0);
  return t;
}

TEST_F(OpenCloseTest, TheToolsSettingsShowInTheTtysTermios) {
  port_->SetBaudRate(br115200);
  port_->SetDataBits(db8);
  port_->SetParity(paNone);
  port_->SetStopBits(sb1);
  port_->Open();
  ASSERT_TRUE(port_->Active());
  const termios t = SlaveTermios(pty_);
  EXPECT_EQ(cfgetospeed(&t), B115200);
  EXPECT_EQ(cfgetispeed(&t), B115200);
  EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t{CS8});
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);  // raw bytes
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_cc[VSTART], 17);
  EXPECT_EQ(t.c_cc[VSTOP], 19);
}

TEST_F(OpenCloseTest, SettingsChangedWhileOpenApplyAtOnce) {
  port_->Open();
  port_->SetParity(paMark);
  port_->SetStopBits(sb2);
  port_->SetDataBits(db7);
  port_->FlowControl().SetXOnXOff(xcInputOutput);
  port_->Characters().SetXOn('Q');
  port_->SetOptions({opOutputCTSFlow});
  // A pseudo-terminal always keeps 8 bits and no parity enable; the other frame bits stay.
  termios t = SlaveTermios(pty_);
  EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), tcflag_t{PARODD | CMSPAR});
  EXPECT_NE(t.c_cflag & CSTOPB, 0u);
  EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), tcflag_t{IXON | IXOFF});
  EXPECT_EQ(t.c_cc[VSTART], 'Q');

  port_->SetParity(paSpace);
  t = SlaveTermios(pty_);
  EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), tcflag_t{CMSPAR});
  port_->SetParity(paOdd);
  t = SlaveTermios(pty_);
  EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), tcflag_t{PARODD});

  port_->SetCustomBaudRate(250000);
  EXPECT_EQ(OutputSpeed(pty_.Observer()), 250000u);
}

TEST_F(OpenCloseTest, SettingsMadeWhileClosedApplyAtOpenAndDefaultsLeaveTheDriversValues) {
  port_->SetBaudRate(br9600);
  port_->Open();
  termios t = SlaveTermios(pty_);
  EXPECT_EQ(cfgetospeed(&t), B9600);
  port_->Close();
  TComPort untouched(nullptr, ui_);
  untouched.SetDeviceName(pty_.SlaveName());
  untouched.Open();  // brDefault: the tty keeps 9600
  t = SlaveTermios(pty_);
  EXPECT_EQ(cfgetospeed(&t), B9600);
}

struct Refusal {
  const char* name;
  std::function<void(TComPort&)> set;
};

TEST_F(OpenCloseTest, WhatLinuxCannotDoFailsTheOpenWithAPlatformError) {
  const Refusal cases[] = {
      {"4 data bits", [](TComPort& p) { p.SetDataBits(db4); }},
      {"9 data bits", [](TComPort& p) { p.SetDataBits(db9); }},
      {"1.5 stop bits", [](TComPort& p) { p.SetStopBits(sb1_5); }},
      {"DSR flow", [](TComPort& p) { p.SetOptions({opOutputDSRFlow}); }},
      {"DTR handshake", [](TComPort& p) { p.FlowControl().SetDTR(dcHandshake); }},
      {"custom rate 0", [](TComPort& p) { p.SetBaudRate(brCustom); }},
  };
  for (const auto& c : cases) {
    TComPort port(nullptr, ui_);
    port.SetDeviceName(pty_.SlaveName());
    c.set(port);
    try {
      port.Open();
      ADD_FAILURE() << c.name << " opened";
    } catch (const EComError& e) {
      EXPECT_EQ(e.ErrorCode, EINVAL) << c.name;
      EXPECT_EQ(e.Message(), "Invalid argument") << c.name;
    }
    EXPECT_FALSE(port.Active()) << c.name;
  }
  // Everything was released: the device opens again.
  port_->Open();
  EXPECT_TRUE(port_->Active());
}

TEST_F(OpenCloseTest, OpenAndCloseFireTheirEventsInOrder) {
  std::vector<std::string> events;
  port_->SetBeforeOpen(
      [&](TCustomComPort* p) { events.push_back("BeforeOpen " + std::to_string(p->Active())); });
  port_->SetAfterOpen(
      [&](TCustomComPort* p) { events.push_back("AfterOpen " + std::to_string(p->Active())); });
  port_->SetBeforeClose(
      [&](TCustomComPort* p) { events.push_back("BeforeClose " + std::to_string(p->Active())); });
  port_->SetAfterClose(
      [&](TCustomComPort* p) { events.push_back("AfterClose " + std::to_string(p->Active())); });
  port_->Close();  // closed already: nothing
  port_->Open();
  port_->Open();  // open already: nothing
  port_->Close();
  port_->Close();
  EXPECT_EQ(events, (std::vector<std::string>{"BeforeOpen 0", "AfterOpen 1", "BeforeClose 1",
                                              "AfterClose 0"}));
  port_->SetActive(true);
  EXPECT_EQ(events.size(), 6u);
  port_->SetActive(false);
  EXPECT_EQ(events.size(), 8u);
}

TEST_F(OpenCloseTest, DeviceNameCannotChangeOnAnOpenPort) {
  port_->Open();
  const std::string name = port_->DeviceName();
  port_->SetDeviceName(name);  // the same name is fine
  try {
    port_->SetDeviceName("/dev/ttyS0");
    FAIL() << "renamed an open port";
  } catch (const EComError& e) {
    EXPECT_EQ(e.ErrorCode, 0);
    EXPECT_EQ(e.Message(), "Can't perform this operation on an open port");
  }
  EXPECT_EQ(port_->DeviceName(), name);
  EXPECT_THROW(port_->SetSynchronizeEvents(false), EComError);
  EXPECT_THROW(port_->SetPriorityClass(pcIdle), EComError);
}

TEST_F(OpenCloseTest, AMissingDeviceFailsWithTheSystemsTextAndLeavesThePortClosed) {
  bool before = false, after = false;
  port_->SetBeforeOpen([&](TCustomComPort*) { before = true; });
  port_->SetAfterOpen([&](TCustomComPort*) { after = true; });
  port_->SetDeviceName("/dev/qmr7-no-such-tty");
  try {
    port_->Open();
    FAIL() << "opened a missing device";
  } catch (const EComError& e) {
    EXPECT_EQ(e.ErrorCode, ENOENT);
    EXPECT_EQ(e.Message(), "No such file or directory");
  }
  EXPECT_TRUE(before);
  EXPECT_FALSE(after);
  EXPECT_FALSE(port_->Active());
}

TEST_F(OpenCloseTest, ADeviceHeldByAnotherPortIsBusy) {
  port_->Open();
  TComPort second(nullptr, ui_);
  second.SetDeviceName(pty_.SlaveName());
  try {
    second.Open();
    FAIL() << "shared an exclusive device";
  } catch (const EComError& e) {
    EXPECT_EQ(e.ErrorCode, EBUSY);
  }
  port_->Close();
  second.Open();
  EXPECT_TRUE(second.Active());
}

TEST_F(OpenCloseTest, OnErrorSeesEveryErrorFirstAndCanMakeItSilent) {
  std::vector<int> seen;
  port_->SetOnError([&](TCustomComPort* p, EComError& e, TComAction& action) {
    EXPECT_EQ(p, port_.get());
    seen.push_back(e.ErrorCode);
    action = caAbort;
  });
  port_->SetDeviceName("/dev/qmr7-no-such-tty");
  EXPECT_THROW(port_->Open(), toolkit::EAbort);
  EXPECT_FALSE(port_->Active());
  EXPECT_THROW(port_->SetDTR(), toolkit::EAbort);  // a component error, code 0
  EXPECT_EQ(seen, (std::vector<int>{ENOENT, 0}));

  // The silent abort is not reported to the user.
  toolkit::HandleException(std::make_exception_ptr(toolkit::EAbort()));
  EXPECT_TRUE(reports_.empty());

  // caFail, the default, lets the same error continue.
  port_->SetOnError([](TCustomComPort*, EComError&, TComAction&) {});
  EXPECT_THROW(port_->Open(), EComError);
}

// Linux keeps nice values per thread, and an unprivileged one cannot take a lowered priority back:
// a class is applied only when Close can undo it, so the UI thread never stays lowered.
TEST_F(OpenCloseTest, ThePriorityClassOfAnOpenPortIsUndoneAtClose) {
  const int before = ::getpriority(PRIO_PROCESS, 0);
  port_->SetPriorityClass(pcIdle);
  port_->Open();
  const int open = ::getpriority(PRIO_PROCESS, 0);
  port_->Close();
  EXPECT_EQ(::getpriority(PRIO_PROCESS, 0), before);
  // Lowered while open where the way back is allowed, else left alone.
  EXPECT_TRUE(open == 19 || open == before) << open;
  // A failed open gives the class back as well.
  port_->SetDeviceName("/dev/qmr7-no-such-tty");
  EXPECT_THROW(port_->Open(), EComError);
  EXPECT_EQ(::getpriority(PRIO_PROCESS, 0), before);
}

TEST_F(OpenCloseTest, DestroyingAnOpenPortClosesIt) {
  bool closed = false;
  port_->SetAfterClose([&](TCustomComPort*) { closed = true; });
  port_->Open();
  port_.reset();
  EXPECT_TRUE(closed);
  TComPort again(nullptr, ui_);
  again.SetDeviceName(pty_.SlaveName());
  again.Open();  // the device was let go
  EXPECT_TRUE(again.Active());
}

TEST_F(OpenCloseTest, AnOwnerDestroysItsPort) {
  toolkit::Component form;
  auto* port = new TComPort(&form, ui_);
  port->SetDeviceName(pty_.SlaveName());
  port->Open();
  EXPECT_EQ(form.Components().size(), 1u);
}

}  // namespace
}  // namespace comport::testing
