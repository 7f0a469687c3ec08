// Reading and writing on a real pseudo-terminal.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <thread>

#include "PtyFixture.h"

namespace comport::testing {
namespace {

struct Call {
  std::string event;
  int count;
  bool wait;
  bool operator==(const Call&) const = default;
};

class IoTest : public PortTest {
 protected:
  void SetUp() override {
    port_->Open();
    ASSERT_TRUE(port_->Active());
  }

  // Records the Before and After events of both directions.
  void Record() {
    auto add = [this](const char* name) {
      return [this, name](toolkit::Component*, const void*, int count, bool wait) {
        calls_.push_back({name, count, wait});
      };
    };
    port_->SetBeforeRead(add("BeforeRead"));
    port_->SetAfterRead(add("AfterRead"));
    port_->SetBeforeWrite(add("BeforeWrite"));
    port_->SetAfterWrite(add("AfterWrite"));
  }

  // Waits (without sleeping) until the port sees `count` bytes queued.
  void AwaitInput(int count) {
    PumpUntil([&] { return port_->InputCount() >= count; });
  }

  std::vector<Call> calls_;
};

TEST_F(IoTest, ReadLineReturnsTheLineWithItsCarriageReturn) {
  pty_.Write("OK\rnext");
  EXPECT_EQ(port_->ReadLine(), "OK\r");
  AwaitInput(4);
  EXPECT_EQ(port_->ReadString(), "next");
}

TEST_F(IoTest, WriteLineSendsTheTextAndThenTheCarriageReturnAsTwoWrites) {
  Record();
  port_->WriteLine("AT");
  EXPECT_EQ(pty_.Read(3), "AT\r");
  EXPECT_EQ(calls_, (std::vector<Call>{{"BeforeWrite", 2, false},
                                       {"AfterWrite", 2, false},
                                       {"BeforeWrite", 1, false},
                                       {"AfterWrite", 1, false}}));
}

TEST_F(IoTest, ThreeHundredQueuedBytesReadAs256And44) {
  std::string sent;
  for (int i = 0; i < 300; ++i)
    sent += static_cast<char>(i * 7);
  pty_.Write(sent);
  AwaitInput(300);
  EXPECT_EQ(port_->InputCount(), 300);
  std::string got(300, '\0');
  port_->Read(got.data(), 256, true);
  port_->Read(got.data() + 256, port_->InputCount(), true);
  EXPECT_EQ(got, sent);
  EXPECT_EQ(port_->InputCount(), 0);
}

TEST_F(IoTest, CountZeroIssuesNoRequestButStillFiresBeforeAndAfter) {
  Record();
  port_->Read(nullptr, 0, true);
  port_->Write(nullptr, 0, true);
  EXPECT_EQ(port_->ReadString(), "");  // nothing queued
  EXPECT_EQ(calls_, (std::vector<Call>{{"BeforeRead", 0, true},
                                       {"AfterRead", 0, true},
                                       {"BeforeWrite", 0, true},
                                       {"AfterWrite", 0, true},
                                       {"BeforeRead", 0, true},
                                       {"AfterRead", 0, true}}));
  EXPECT_FALSE(port_->ReadPending());
  EXPECT_FALSE(port_->WritePending());
}

TEST_F(IoTest, AWriteThatDoesNotWaitSendsACopyOfTheCallersData) {
  // More than the tty takes at once, so that the write is still running when Write returns.
  std::string data(1 << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>('a' + i % 26);
  const std::string sent = data;
  port_->Write(data.data(), static_cast<int>(data.size()), false);
  EXPECT_TRUE(port_->WritePending());
  std::memset(data.data(), 'X', data.size());  // the caller's memory is free again
  data.clear();
  data.shrink_to_fit();
  EXPECT_EQ(pty_.Read(sent.size()), sent);
  port_->WaitForWriteCompletion();
  EXPECT_FALSE(port_->WritePending());
}

// Flush returns once every byte has gone out: a write the request helper still holds is waited
// for first, not only the kernel's queue.
TEST_F(IoTest, FlushWaitsForAWriteStillPending) {
  const std::string data(1 << 20, 'f');
  port_->Write(data.data(), static_cast<int>(data.size()), false);
  ASSERT_TRUE(port_->WritePending());
  std::atomic<bool> flushing{false};
  std::atomic<bool> pendingAfterFlush{true};
  std::thread flusher([&] {
    flushing = true;
    port_->Flush();
    pendingAfterFlush = port_->WritePending();
  });
  while (!flushing)
    std::this_thread::yield();
  EXPECT_EQ(pty_.Read(data.size()), data);
  flusher.join();
  EXPECT_FALSE(pendingAfterFlush);
}

TEST_F(IoTest, ASecondWriteWaitsForTheFirstAndTheBytesKeepTheirOrder) {
  const std::string first(300000, '1');
  const std::string second(300000, '2');
  std::string received;
  std::thread reader([&] { received = pty_.Read(first.size() + second.size()); });
  port_->WriteString(first);
  port_->WriteString(second);
  port_->WaitForWriteCompletion();
  reader.join();
  EXPECT_EQ(received, first + second);
}

TEST_F(IoTest, AReadThatDoesNotWaitFillsTheCallersBufferWhenCompleted) {
  char buffer[5] = {};
  port_->Read(buffer, 4, false);
  EXPECT_TRUE(port_->ReadPending());
  pty_.Write("ping");
  port_->WaitForReadCompletion();
  EXPECT_STREQ(buffer, "ping");
  EXPECT_FALSE(port_->ReadPending());
}

TEST_F(IoTest, ClosingAbandonsRequestsStillPending) {
  char buffer[4];
  port_->Read(buffer, 4, false);
  const std::string big(1 << 20, 'w');
  port_->WriteString(big);  // more than the tty takes: still running
  EXPECT_TRUE(port_->ReadPending());
  EXPECT_TRUE(port_->WritePending());
  port_->Close();
  EXPECT_FALSE(port_->Active());
  port_->Open();  // nothing of the old requests holds the device
  pty_.Write("ok\r");
  EXPECT_EQ(port_->ReadLine(), "ok\r");
}

TEST_F(IoTest, TypedValuesTravelInMachineOrder) {
  port_->WriteWord(0x0201);
  port_->WriteDWord(0x06050403);
  port_->WriteByte(7);
  port_->WriteUtf8(u"\u00e9\U0001F600");
  port_->WriteLineBytes({8, 9});
  EXPECT_EQ(pty_.Read(16), std::string("\x01\x02\x03\x04\x05\x06\x07"
                                       "\xC3\xA9\xF0\x9F\x98\x80\x08\x09\r",
                                       16));
  pty_.Write(std::string("\x01\x02\x03\x04\x05\x06\x07", 7) + "\xC3\xA9z\r" + "ab\n\r");
  EXPECT_EQ(port_->ReadWord(), 0x0201);
  EXPECT_EQ(port_->ReadDWord(), 0x06050403u);
  EXPECT_EQ(port_->ReadByte(), 7);
  EXPECT_EQ(port_->ReadLineUtf8(), u"\u00e9z\r");
  EXPECT_EQ(port_->ReadLineBytes(), (TBytes{'a', 'b', '\n', '\r'}));  // LF means nothing
}

TEST_F(IoTest, AShortRequestEndedByTheTimeoutsRaisesTimeout) {
  port_->Timeouts().SetReadConstant(50);
  pty_.Write("abc");
  AwaitInput(3);
  char buffer[10] = {};
  try {
    port_->Read(buffer, 10, true);
    FAIL() << "a short read passed";
  } catch (const EComError& e) {
    EXPECT_EQ(e.ErrorCode, 0);
    EXPECT_EQ(e.Message(), "Timeout");
  }
  EXPECT_STREQ(buffer, "abc");  // the bytes stay in the buffer
  EXPECT_FALSE(port_->ReadPending());
}

// Multiplier times count beyond what the clock holds is as good as no limit: the read waits for
// its bytes instead of ending at once with "Timeout".
TEST_F(IoTest, HugeTimeoutsWaitInsteadOfEndingAtOnce) {
  struct Case {
    const char* name;
    int multiplier;
    int constant;
  };
  const Case cases[] = {
      {"largest multiplier", -1, 0},  // 0xFFFFFFFF ms per byte
      {"largest multiplier and constant", -1, -1},
      {"largest constant", 0, -1},
  };
  for (const auto& c : cases) {
    port_->Timeouts().SetReadMultiplier(c.multiplier);
    port_->Timeouts().SetReadConstant(c.constant);
    std::string buffer(4096, '\0');
    port_->Read(buffer.data(), static_cast<int>(buffer.size()), false);
    EXPECT_TRUE(port_->ReadPending()) << c.name;
    const std::string sent(buffer.size(), 'r');
    pty_.Write(sent);
    port_->WaitForReadCompletion();
    EXPECT_EQ(buffer, sent) << c.name;
  }
}

TEST_F(IoTest, AnIntervalOfMaxReturnsWhatIsQueuedAtOnce) {
  port_->Timeouts().SetReadInterval(-1);  // the all-bits-set interval
  pty_.Write("xy");
  AwaitInput(2);
  char buffer[8] = {};
  port_->Read(buffer, 8, false);  // ended at once: not held to its count
  port_->WaitForReadCompletion();
  EXPECT_STREQ(buffer, "xy");
}

TEST_F(IoTest, PurgingAbortsAPendingReadAndEmptiesTheQueue) {
  char buffer[4];
  port_->Read(buffer, 4, false);
  port_->PurgeInput();
  try {
    port_->WaitForReadCompletion();
    FAIL() << "an aborted read completed";
  } catch (const EComError& e) {
    EXPECT_EQ(e.ErrorCode, ECANCELED);
  }
  pty_.Write("zz");
  AwaitInput(2);
  port_->ClearInput();
  EXPECT_EQ(port_->InputCount(), 0);
  port_->Flush();
  EXPECT_EQ(port_->OutputCount(), 0);
}

TEST_F(IoTest, AClosedPortRefusesRequestsAndLineControlButPurgesQuietly) {
  port_->Close();
  const std::function<void()> refused[] = {
      [&] { port_->Read(nullptr, 0, true); },
      [&] { port_->Write("a", 1, false); },
      [&] { port_->ReadChar(); },
      [&] { port_->WriteString("a"); },
      [&] { port_->CheckLineErrors(); },
      [&] { port_->SetDTR(); },
      [&] { port_->SetBreak(); },
      [&] { port_->TransmitChar('a'); },
      [&] { port_->ModemStatus(); },
      [&] { port_->ClearLineErrors(); },
  };
  for (const auto& call : refused) {
    try {
      call();
      ADD_FAILURE() << "a closed port took a request";
    } catch (const EComError& e) {
      EXPECT_EQ(e.ErrorCode, 0);
      EXPECT_EQ(e.Message(), "Can't perform this operation on a closed port");
    }
  }
  port_->PurgeInput();
  port_->ClearOutput();
  port_->Flush();
  try {
    port_->InputCount();
    FAIL() << "a closed port counted";
  } catch (const EComError& e) {
    EXPECT_EQ(e.ErrorCode, EBADF);
  }
}

TEST_F(IoTest, WhatAPseudoTerminalLacksFailsWithItsPlatformError) {
  try {
    port_->ResetDevice();
    FAIL() << "reset a device";
  } catch (const EComError& e) {
    EXPECT_EQ(e.ErrorCode, EOPNOTSUPP);
  }
  EXPECT_THROW(port_->ModemStatus(), EComError);  // a pty has no modem lines
  port_->TransmitChar('!');
  EXPECT_EQ(pty_.Read(1), "!");
}

// The number and text stay those the user has always seen; the kind says what went wrong.
TEST_F(IoTest, EveryFailureSaysWhatKindOfFailureItIs) {
  using toolkit::ErrorKind;
  struct KindCase {
    const char* name;
    bool open;
    std::function<void()> call;
    ErrorKind kind;
    int code;
  };
  const KindCase cases[] = {
      {"a negative read count", true, [&] { port_->Read(nullptr, -1, true); },
       ErrorKind::CallerMistake, 0},
      {"a negative write count", true, [&] { port_->Write("a", -1, false); },
       ErrorKind::CallerMistake, 0},
      {"a device reset a tty cannot do", true, [&] { port_->ResetDevice(); },
       ErrorKind::NotSupported, EOPNOTSUPP},
      {"DSR flow, which Linux lacks", true, [&] { port_->SetOptions({opOutputDSRFlow}); },
       ErrorKind::NotSupported, EINVAL},
      {"a request on a closed port", false, [&] { port_->ReadChar(); }, ErrorKind::CallerMistake,
       0},
      {"counting on a closed port", false, [&] { port_->InputCount(); }, ErrorKind::CallerMistake,
       EBADF},
  };
  for (const auto& c : cases) {
    if (c.open) port_->Open();
    if (!c.open) port_->Close();
    try {
      c.call();
      ADD_FAILURE() << c.name << ": no error";
    } catch (const EComError& e) {
      EXPECT_EQ(e.Kind(), c.kind) << c.name;
      EXPECT_EQ(e.ErrorCode, c.code) << c.name;
      EXPECT_EQ(e.Cause().code, c.code) << c.name;
      EXPECT_EQ(e.Message(), e.Cause().text) << c.name;
      EXPECT_FALSE(e.Cause().op.empty()) << c.name;
    }
    port_->SetOptions({});
  }
  port_->Open();
  try {
    port_->Read(nullptr, -1, true);
    FAIL() << "read a negative count";
  } catch (const EComError& e) {
    EXPECT_EQ(e.Message(), "Can't transfer a negative number of bytes");
  }
}

}  // namespace
}  // namespace comport::testing
