// The Win32 serial device on a COM port whose far end is a loopback plug: every byte sent comes
// back, DTR comes back as DSR and carrier, RTS as CTS. scripts/wine-test maps one under wine (a
// pseudo-terminal whose Linux side echoes, with the null-modem shim preloaded) and names it in
// QMR7_TEST_COM_PORT; on Windows, any port with a loopback plug will do. Without it the tests skip.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "comport/Scheduling.h"
#include "comport/SerialDevice.h"
#include "tests/support/Wine.h"
#include "toolkit/Error.h"
#include "toolkit/backend/win32/SystemError.h"

namespace comport {
namespace {

using toolkit::Error;
using toolkit::ErrorKind;

constexpr const char* kNoPort =
    "no COM port with a loopback peer: QMR7_TEST_COM_PORT names one (scripts/wine-test sets it)";
constexpr const char* kWineModemLines =
    "wine: a pseudo-terminal has no modem lines unless the null-modem shim is preloaded "
    "(scripts/wine-test does)";

std::string TestPort() {
  const char* name = std::getenv("QMR7_TEST_COM_PORT");
  return name == nullptr ? std::string() : std::string(name);
}

// A whole request at most this long: a lost byte fails the test instead of hanging it.
constexpr std::uint32_t kRequestBound = 10000;

class SerialDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = TestPort();
    if (name_.empty()) GTEST_SKIP() << kNoPort;
    const Error e = OpenSerialDevice(name_, device_);
    ASSERT_FALSE(e) << toolkit::Describe(e);
    TDcb dcb;
    ASSERT_FALSE(device_->GetState(dcb));
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = 0;
    dcb.StopBits = 0;
    dcb.Flags = dcb::fBinary | dcb::DtrEnable | dcb::RtsEnable;
    ASSERT_FALSE(device_->SetState(dcb));
    ASSERT_FALSE(device_->SetupQueues(4096, 2048));
    ASSERT_FALSE(device_->SetTimeouts({0, 0, kRequestBound, 0, kRequestBound}));
    ASSERT_FALSE(device_->Purge(0x000F));
  }

  void Send(const std::string& bytes) {
    std::size_t sent = 0;
    ASSERT_FALSE(device_->StartWrite(bytes.data(), bytes.size()));
    ASSERT_FALSE(device_->WaitWrite(sent));
    ASSERT_EQ(sent, bytes.size());
  }

  std::string Receive(std::size_t count) {
    std::string bytes(count, '\0');
    std::size_t received = 0;
    EXPECT_FALSE(device_->StartRead(bytes.data(), count));
    EXPECT_FALSE(device_->WaitRead(received));
    bytes.resize(received);
    return bytes;
  }

  std::uint32_t Queued() {
    TComStat stat;
    EXPECT_FALSE(device_->ClearErrors(stat, queue::Input));
    return stat.inQueue;
  }

  // Blocks in the event wait (no polling) until `count` bytes are queued.
  void AwaitInput(std::uint32_t count) {
    ASSERT_FALSE(device_->SetEventMask(ev::RxChar));
    while (Queued() < count) {
      std::uint32_t events = 0;
      ASSERT_FALSE(device_->WaitEvent(events));
    }
  }

  std::string name_;
  std::unique_ptr<SerialDevice> device_;
};

struct LineCase {
  const char* name;
  std::uint32_t baudRate;
  std::uint8_t byteSize;
  std::uint8_t parity;
  std::uint8_t stopBits;
  std::uint32_t flags;
  bool pseudoTerminalKeeps;  // false: a pty forces 8 data bits and no parity
};

const LineCase kLineCases[] = {
    {"Tool_115200_8N1", 115200, 8, 0, 0, dcb::fBinary | dcb::DtrEnable | dcb::RtsEnable, true},
    {"Slow_9600_8N2", 9600, 8, 0, 2, dcb::fBinary | dcb::DtrDisable | dcb::RtsEnable, true},
    {"Seven_19200_7E1", 19200, 7, 2, 0, dcb::fBinary | dcb::DtrEnable | dcb::RtsEnable, false},
    {"Odd_57600_8O1", 57600, 8, 1, 0, dcb::fBinary | dcb::DtrEnable | dcb::RtsDisable, false},
};

class LineSettingsTest : public SerialDeviceTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(LineSettingsTest, TheLineSettingsReadBackAsWritten) {
  const LineCase& c = GetParam();
  if (!c.pseudoTerminalKeeps && testsupport::OnWine()) {
    GTEST_SKIP() << "wine: the port is a pseudo-terminal, which keeps 8 data bits and no parity";
  }
  TDcb dcb;
  ASSERT_FALSE(device_->GetState(dcb));
  dcb.BaudRate = c.baudRate;
  dcb.ByteSize = c.byteSize;
  dcb.Parity = c.parity;
  dcb.StopBits = c.stopBits;
  dcb.Flags = c.flags;
  ASSERT_FALSE(device_->SetState(dcb));
  TDcb back;
  ASSERT_FALSE(device_->GetState(back));
  EXPECT_EQ(back.BaudRate, c.baudRate);
  EXPECT_EQ(back.ByteSize, c.byteSize);
  EXPECT_EQ(back.Parity, c.parity);
  EXPECT_EQ(back.StopBits, c.stopBits);
  EXPECT_EQ(back.Flags & (dcb::fBinary | dcb::fDtrControlMask | dcb::fRtsControlMask), c.flags);
}

INSTANTIATE_TEST_SUITE_P(Lines, LineSettingsTest, ::testing::ValuesIn(kLineCases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(SerialDeviceTest, TimeoutsReadBackAsWritten) {
  const TCommTimeouts written{kMaxTimeout, 0, 0, 7, 250};
  ASSERT_FALSE(device_->SetTimeouts(written));
  TCommTimeouts back;
  ASSERT_FALSE(device_->GetTimeouts(back));
  EXPECT_EQ(back.ReadIntervalTimeout, written.ReadIntervalTimeout);
  EXPECT_EQ(back.WriteTotalTimeoutMultiplier, written.WriteTotalTimeoutMultiplier);
  EXPECT_EQ(back.WriteTotalTimeoutConstant, written.WriteTotalTimeoutConstant);
}

TEST_F(SerialDeviceTest, EveryByteValueComesBackThroughTheLoopback) {
  std::string sent;
  for (int round = 0; round < 3; ++round) {
    for (int b = 0; b < 256; ++b)
      sent += static_cast<char>(b);
  }
  Send(sent);
  EXPECT_EQ(Receive(sent.size()), sent);
  EXPECT_EQ(Queued(), 0u);
}

TEST_F(SerialDeviceTest, AReadEndsShortWithoutErrorWhenItsTimeOutsExpire) {
  ASSERT_FALSE(device_->SetTimeouts({0, 0, 30, 0, kRequestBound}));
  Send("ab");
  EXPECT_EQ(Receive(16), "ab");
  EXPECT_EQ(Receive(16), "");
}

TEST_F(SerialDeviceTest, AReadWithoutWaitingTakesWhatIsQueuedAtOnce) {
  if (testsupport::OnWine()) {
    GTEST_SKIP() << "wine: with the return-at-once time-outs (interval MAXDWORD, totals 0) an "
                    "overlapped read waits for data instead of returning what is queued";
  }
  ASSERT_FALSE(device_->SetTimeouts({kMaxTimeout, 0, 0, 0, kRequestBound}));
  EXPECT_EQ(Receive(8), "");
  Send("hello");
  AwaitInput(5);
  EXPECT_EQ(Receive(8), "hello");
}

TEST_F(SerialDeviceTest, ARequestIsPendingUntilItEndsAndIsCollectedOnce) {
  std::string buffer(4, '\0');
  ASSERT_FALSE(device_->StartRead(buffer.data(), buffer.size()));
  EXPECT_TRUE(device_->ReadPending());
  Send("wxyz");
  std::size_t received = 0;
  ASSERT_FALSE(device_->WaitRead(received));
  EXPECT_EQ(received, 4u);
  EXPECT_EQ(buffer, "wxyz");
  EXPECT_FALSE(device_->ReadPending());
  // Collected already: a second wait finds it ended and fine, with nothing more.
  ASSERT_FALSE(device_->WaitRead(received));
  EXPECT_EQ(received, 0u);
}

TEST_F(SerialDeviceTest, CancelAllEndsAPendingReadWithThePlatformsCancelled) {
  std::string buffer(4, '\0');
  ASSERT_FALSE(device_->StartRead(buffer.data(), buffer.size()));
  ASSERT_TRUE(device_->ReadPending());
  device_->CancelAll();
  std::size_t received = 0;
  const Error e = device_->WaitRead(received);
  EXPECT_EQ(e.kind, ErrorKind::OsFailure);
  EXPECT_EQ(e.code, ERROR_OPERATION_ABORTED);
  EXPECT_EQ(e.op, "complete the read");
  EXPECT_FALSE(e.text.empty());
  // Reported once.
  EXPECT_FALSE(device_->WaitRead(received));
}

TEST_F(SerialDeviceTest, AnArrivalEndsTheEventWaitWithRxChar) {
  ASSERT_FALSE(device_->SetEventMask(ev::RxChar | ev::TxEmpty));
  Send("x");
  std::uint32_t seen = 0;
  while ((seen & ev::RxChar) == 0) {
    std::uint32_t events = 0;
    ASSERT_FALSE(device_->WaitEvent(events));
    EXPECT_EQ(events & ~(ev::RxChar | ev::TxEmpty), 0u) << "only events asked for";
    seen |= events;
  }
  EXPECT_EQ(Receive(1), "x");
}

TEST_F(SerialDeviceTest, CancelWaitEndsAWaitWithNoEventsAndTheNextWaitLosesNoArrival) {
  ASSERT_FALSE(device_->SetEventMask(ev::RxChar));
  std::uint32_t cancelledEvents = 1;
  Error cancelledError;
  std::thread waiter([&] { cancelledError = device_->WaitEvent(cancelledEvents); });
  device_->CancelWait();
  waiter.join();
  EXPECT_FALSE(cancelledError) << toolkit::Describe(cancelledError);
  EXPECT_EQ(cancelledEvents, 0u);
  Send("y");
  AwaitInput(1);
  EXPECT_EQ(Receive(1), "y");
}

TEST_F(SerialDeviceTest, ChangingTheEventMaskEndsAWaitInProgressWithNoEvents) {
  ASSERT_FALSE(device_->SetEventMask(ev::RxChar));
  std::uint32_t events = 1;
  Error error;
  std::thread waiter([&] { error = device_->WaitEvent(events); });
  ASSERT_FALSE(device_->SetEventMask(ev::RxChar | ev::Cts));
  waiter.join();
  EXPECT_FALSE(error) << toolkit::Describe(error);
  EXPECT_EQ(events, 0u);
}

TEST_F(SerialDeviceTest, TheQueuesAreCountedAndPurged) {
  Send("0123456789");
  AwaitInput(10);
  TComStat stat;
  ASSERT_FALSE(device_->ClearErrors(stat, queue::Input | queue::Output));
  EXPECT_EQ(stat.inQueue, 10u);
  EXPECT_EQ(stat.outQueue, 0u);
  EXPECT_EQ(stat.errors, 0u);
  ASSERT_FALSE(device_->ClearErrors(stat, queue::None));
  EXPECT_EQ(stat.inQueue, 0u) << "a queue not asked for reads 0";
  ASSERT_FALSE(device_->Purge(PurgeFlags(TPurge::ClearInput)));
  EXPECT_EQ(Queued(), 0u);
  ASSERT_FALSE(device_->Drain());
}

TEST_F(SerialDeviceTest, ACharacterTransmittedAheadComesBack) {
  ASSERT_FALSE(device_->TransmitChar('Z'));
  AwaitInput(1);
  EXPECT_EQ(Receive(1), "Z");
}

struct ModemCase {
  const char* name;
  TLineControl dtr;
  TLineControl rts;
  std::uint32_t status;
};

const ModemCase kModemCases[] = {
    {"BothOn", TLineControl::SetDtr, TLineControl::SetRts, ms::Dsr | ms::Rlsd | ms::Cts},
    {"DtrOnly", TLineControl::SetDtr, TLineControl::ClearRts, ms::Dsr | ms::Rlsd},
    {"RtsOnly", TLineControl::ClearDtr, TLineControl::SetRts, ms::Cts},
    {"BothOff", TLineControl::ClearDtr, TLineControl::ClearRts, 0},
};

class ModemLinesTest : public SerialDeviceTest, public ::testing::WithParamInterface<ModemCase> {};

TEST_P(ModemLinesTest, TheLinesSetComeBackThroughTheLoopbackWiring) {
  const ModemCase& c = GetParam();
  const Error e = device_->Escape(c.dtr);
  if (e.code == ERROR_NOT_SUPPORTED && testsupport::OnWine()) GTEST_SKIP() << kWineModemLines;
  ASSERT_FALSE(e) << toolkit::Describe(e);
  ASSERT_FALSE(device_->Escape(c.rts));
  std::uint32_t status = 0;
  ASSERT_FALSE(device_->GetModemStatus(status));
  EXPECT_EQ(status, c.status);
}

INSTANTIATE_TEST_SUITE_P(Lines, ModemLinesTest, ::testing::ValuesIn(kModemCases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(SerialDeviceTest, AModemLineChangeEndsTheEventWait) {
  if (const Error e = device_->Escape(TLineControl::SetRts);
      e.code == ERROR_NOT_SUPPORTED && testsupport::OnWine()) {
    GTEST_SKIP() << kWineModemLines;
  }
  ASSERT_FALSE(device_->SetEventMask(ev::Cts));
  // The platform's wait takes the lines as they are when it begins; the poll begins it.
  std::uint32_t events = 0;
  ASSERT_FALSE(device_->PollEvent(events));
  ASSERT_EQ(events, 0u);
  ASSERT_FALSE(device_->Escape(TLineControl::ClearRts));
  ASSERT_FALSE(device_->WaitEvent(events));
  EXPECT_EQ(events, ev::Cts);
}

TEST_F(SerialDeviceTest, ABreakCanBeSetAndCleared) {
  const Error on = device_->SetBreak(true);
  if (on && testsupport::OnWine()) {
    GTEST_SKIP() << "wine: a pseudo-terminal takes no break (" << toolkit::Describe(on) << ")";
  }
  ASSERT_FALSE(on) << toolkit::Describe(on);
  EXPECT_FALSE(device_->SetBreak(false));
}

TEST_F(SerialDeviceTest, ASecondOpenOfTheOpenPortIsRefused) {
  std::unique_ptr<SerialDevice> second;
  const Error e = OpenSerialDevice(name_, second);
  if (!e && testsupport::OnWine()) {
    GTEST_SKIP() << "wine: a second open of an open COM port succeeds (Windows refuses it)";
  }
  EXPECT_EQ(e.kind, ErrorKind::OsFailure);
  EXPECT_EQ(e.code, ERROR_ACCESS_DENIED);
  EXPECT_EQ(e.op, "open " + name_);
}

TEST(SerialDeviceOpenTest, APortThatDoesNotExistFailsWithTheSystemsCodeAndText) {
  std::unique_ptr<SerialDevice> device;
  const Error e = OpenSerialDevice("COM239", device);
  EXPECT_EQ(device, nullptr);
  EXPECT_EQ(e.kind, ErrorKind::OsFailure);
  EXPECT_EQ(e.code, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(e.text, SystemErrorText(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(e.op, "open COM239");
}

TEST(SerialDeviceOpenTest, ARequestOnNoDeviceIsTheSystemsInvalidHandle) {
  const Error e = NotOpenError("count the queues");
  EXPECT_EQ(e.kind, ErrorKind::CallerMistake);
  EXPECT_EQ(e.code, ERROR_INVALID_HANDLE);
  EXPECT_EQ(e.text, SystemErrorText(ERROR_INVALID_HANDLE));
}

TEST(SystemErrorTextTest, TheSystemsWordingLosesTrailingFullStopsBlanksAndLineBreaks) {
  for (const int code : {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_INVALID_PARAMETER,
                         ERROR_OPERATION_ABORTED, ERROR_NOT_SUPPORTED}) {
    const std::string text = SystemErrorText(code);
    ASSERT_FALSE(text.empty()) << code;
    const char last = text.back();
    EXPECT_TRUE(last != '.' && last != ' ' && static_cast<unsigned char>(last) >= 0x20)
        << code << ": \"" << text << "\"";
  }
}

TEST(SystemErrorTextTest, TheLongestTextTheSystemHasIsKeptWhole) {
  // The longest of the system's texts, looked up with a buffer the system sizes.
  std::uint32_t longest = 0;
  std::wstring whole;
  for (std::uint32_t code = 0; code < 16000; ++code) {
    wchar_t* buffer = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    if (n > whole.size()) {
      longest = code;
      whole.assign(buffer, n);
    }
    if (buffer != nullptr) ::LocalFree(buffer);
  }
  if (whole.size() < 256 && testsupport::OnWine()) {
    GTEST_SKIP() << "wine: no system text is longer than " << whole.size() << " characters";
  }
  ASSERT_GE(whole.size(), 256u) << "no system text longer than 256 characters";
  EXPECT_EQ(SystemErrorText(static_cast<int>(longest)),
            toolkit::TrimSystemText(toolkit::win32::Narrow(whole)))
      << longest;
}

TEST(SystemErrorTextTest, ACodeTheSystemHasNoTextForIsNamedByNumber) {
  EXPECT_EQ(SystemErrorText(0x20001234), "Unknown error 536875572");
}

TEST(PriorityTest, APriorityClassChangeIsUndoneToTheClassFoundBefore) {
  const HANDLE process = ::GetCurrentProcess();
  const DWORD before = ::GetPriorityClass(process);
  EXPECT_EQ(ChangePriorityClass(pcDefault), -1);
  const int saved = ChangePriorityClass(pcHigh);
  ASSERT_NE(saved, -1);
  EXPECT_EQ(static_cast<DWORD>(saved), before);
  EXPECT_EQ(::GetPriorityClass(process), static_cast<DWORD>(HIGH_PRIORITY_CLASS));
  RestorePriorityClass(saved);
  EXPECT_EQ(::GetPriorityClass(process), before);
}

TEST(PriorityTest, EachThreadPriorityMapsToItsWin32Level) {
  const std::pair<TThreadPriority, int> cases[] = {
      {tpIdle, THREAD_PRIORITY_IDLE},
      {tpLowest, THREAD_PRIORITY_LOWEST},
      {tpLower, THREAD_PRIORITY_BELOW_NORMAL},
      {tpNormal, THREAD_PRIORITY_NORMAL},
      {tpHigher, THREAD_PRIORITY_ABOVE_NORMAL},
      {tpHighest, THREAD_PRIORITY_HIGHEST},
      {tpTimeCritical, THREAD_PRIORITY_TIME_CRITICAL},
  };
  std::thread([&] {
    for (const auto& [priority, level] : cases) {
      SetThreadPriority(CurrentThreadHandle(), priority);
      EXPECT_EQ(::GetThreadPriority(::GetCurrentThread()), level) << int{priority};
    }
  }).join();
}

}  // namespace
}  // namespace comport
