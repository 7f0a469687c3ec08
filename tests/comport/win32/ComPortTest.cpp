// The port component on Windows: a COM handle has no descriptor for the UI thread's loop, so line
// events come from the worker waiting in WaitCommEvent and its hand-over to the UI thread. The far
// end is a loopback plug, as in SerialDeviceTest.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "comport/ComPort.h"
#include "tests/support/PumpUntil.h"
#include "tests/support/Wine.h"
#include "toolkit/Application.h"
#include "toolkit/Dispatcher.h"

namespace comport {
namespace {

class ComPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* name = std::getenv("QMR7_TEST_COM_PORT");
    if (name == nullptr || *name == '\0') {
      GTEST_SKIP() << "no COM port with a loopback peer: QMR7_TEST_COM_PORT names one "
                      "(scripts/wine-test sets it)";
    }
    toolkit::SetExceptionHandler([this](const std::string& text) { reports_.push_back(text); });
    port_ = std::make_unique<TComPort>(nullptr, ui_);
    port_->SetDeviceName(name);
    port_->SetBaudRate(br115200);
    port_->SetDataBits(db8);
    port_->SetParity(paNone);
    port_->SetStopBits(sb1);
    // A failed event wait ends the worker without a word to the user: OnError is where it shows.
    port_->SetOnError([this](TCustomComPort*, EComError& e, TComAction&) {
      reports_.push_back("OnError: " + toolkit::Describe(e.Cause()));
    });
    port_->SetOnRxChar([this](toolkit::Component*) {
      EXPECT_TRUE(ui_.IsUiThread());
      received_ += port_->ReadString();
      ++rxCalls_;
    });
  }

  void TearDown() override {
    port_.reset();
    toolkit::SetExceptionHandler({});
    EXPECT_EQ(reports_, std::vector<std::string>{});
  }

  void AwaitEcho(const std::string& sent) {
    ASSERT_TRUE(testsupport::PumpUntil(ui_, [&] { return received_.size() >= sent.size(); }));
    EXPECT_EQ(received_, sent);
  }

  toolkit::DispatchQueue ui_;
  std::unique_ptr<TComPort> port_;
  std::string received_;
  int rxCalls_ = 0;
  std::vector<std::string> reports_;
};

TEST_F(ComPortTest, TheQueueOffersNoWatcherSoTheWorkerWaits) {
  EXPECT_EQ(ui_.Watcher(), nullptr);
}

TEST_F(ComPortTest, ReceivedCharactersReachRxCharOnTheUiThread) {
  port_->Open();
  ASSERT_TRUE(port_->Active());
  const std::string command = "AT+FPCMD1=7\r";
  port_->WriteString(command);
  AwaitEcho(command);
  EXPECT_GE(rxCalls_, 1);
  port_->Close();
  EXPECT_FALSE(port_->Active());
}

TEST_F(ComPortTest, OpenAndCloseAgainAndAgainWhileTheWorkerWaits) {
  for (int round = 0; round < 25; ++round) {
    port_->Open();
    const std::string line = "round " + std::to_string(round) + "\r";
    port_->WriteString(line);
    AwaitEcho(line);
    received_.clear();
    port_->Close();
  }
}

TEST_F(ComPortTest, TheToolsReadLoopTakesALargeAnswerInPieces) {
  port_->SetOnRxChar([this](toolkit::Component*) {
    // The window's loop: what is queued, in reads of at most 256 bytes, each waiting.
    for (int count = port_->InputCount(); count > 0; count = port_->InputCount()) {
      std::string piece(static_cast<std::size_t>(std::min(count, 256)), '\0');
      port_->Read(piece.data(), static_cast<int>(piece.size()), true);
      received_ += piece;
    }
  });
  port_->Open();
  std::string answer;
  for (int i = 0; i < 300; ++i)
    answer += static_cast<char>('A' + i % 26);
  port_->WriteString(answer);
  AwaitEcho(answer);
}

TEST_F(ComPortTest, HandlersAssignedAndRemovedWhileOpenChangeTheWaitWithoutLosingArrivals) {
  port_->Open();
  int ctsChanges = 0;
  port_->SetOnCTSChange([&](toolkit::Component*) { ++ctsChanges; });
  port_->WriteString("one\r");
  AwaitEcho("one\r");
  port_->SetOnCTSChange(nullptr);
  received_.clear();
  port_->WriteString("two\r");
  AwaitEcho("two\r");
}

TEST_F(ComPortTest, ClosingInsideTheHandlerEndsTheWorkerCleanly) {
  port_->SetOnRxChar([this](toolkit::Component*) {
    received_ += port_->ReadString();
    port_->Close();
  });
  port_->Open();
  port_->WriteString("bye\r");
  ASSERT_TRUE(testsupport::PumpUntil(ui_, [&] { return !port_->Active(); }));
  // Opened again, the port works as before.
  port_->Open();
  received_.clear();
  port_->WriteString("x");
  AwaitEcho("x");
}

TEST_F(ComPortTest, TheModemStatusShowsTheLoopbackWiring) {
  port_->Open();
  try {
    port_->ClearDTR();
  } catch (const EComError& e) {
    if (e.ErrorCode == 50 && testsupport::OnWine()) {
      GTEST_SKIP() << "wine: a pseudo-terminal has no modem lines unless the null-modem shim is "
                      "preloaded (scripts/wine-test does)";
    }
    throw;
  }
  port_->SetRTS();
  TModemStatus status = port_->ModemStatus();
  EXPECT_TRUE(status.Contains(msCTS));
  EXPECT_FALSE(status.Contains(msDSR));
  EXPECT_FALSE(status.Contains(msRLSD));
  port_->SetDTR();
  status = port_->ModemStatus();
  EXPECT_TRUE(status.Contains(msDSR));
  EXPECT_TRUE(status.Contains(msRLSD));
}

TEST(ComPortClosedTest, CountingTheQueuesOfAClosedPortRaisesTheSystemsInvalidHandle) {
  toolkit::DispatchQueue ui;
  TComPort port(nullptr, ui);
  try {
    port.InputCount();
    FAIL() << "no error";
  } catch (const EComError& e) {
    EXPECT_EQ(e.ErrorCode, 6);
    EXPECT_EQ(e.Message(), SystemErrorText(6));
  }
}

}  // namespace
}  // namespace comport
