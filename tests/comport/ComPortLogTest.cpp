// The port log on a real pseudo-terminal.
#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <functional>

#include "PtyFixture.h"

namespace comport::testing {
namespace {

class LogTest : public PortTest {
 protected:
  LogTest() : path_(TempPath("log.txt")) {}
  ~LogTest() override { std::remove(path_.c_str()); }
  std::string path_;
};

TEST_F(LogTest, OpenRequestsCompletionsAndCloseEachWriteOneLine) {
  port_->SetLogFile(path_);
  port_->Open();
  port_->WriteString("AT\r");
  pty_.Read(3);
  pty_.Write("OK\r");
  char buffer[3];
  port_->Read(buffer, 3, true);
  port_->WaitForWriteCompletion();
  port_->Close();
  const std::string name = pty_.SlaveName();
  EXPECT_EQ(LogMessages(path_), (std::vector<std::string>{
                                    "Open " + name,
                                    "Write request $41, $54, $0D",
                                    "Read request 3 byte(s)",
                                    "Read complete $4F, $4B, $0D",
                                    "Write complete $41, $54, $0D",
                                    "Close " + name,
                                }));
}

TEST_F(LogTest, EachLineStartsWithTheLocalDateAndTime) {
  port_->SetLogFile(path_);
  port_->WriteLog("hello");
  std::ifstream file(path_);
  std::string line;
  std::getline(file, line);
  // The C locale's short date and long time: MM/DD/YY HH:MM:SS.
  ASSERT_GE(line.size(), 18u);
  EXPECT_EQ(line[2], '/');
  EXPECT_EQ(line[11], ':');
  EXPECT_EQ(line.substr(17), " hello\r");
}

TEST_F(LogTest, CountZeroWithBytesWritesNoByteListAndLinesAreAppended) {
  port_->SetLogFile(path_);
  port_->WriteLog("Write request ", "A", 0);
  port_->WriteLog("more ", "\x01\xFF", 2);
  EXPECT_EQ(LogMessages(path_), (std::vector<std::string>{"Write request ", "more $01, $FF"}));
}

TEST_F(LogTest, WithoutALogFileNothingIsWritten) {
  port_->Open();
  port_->WriteString("x");
  port_->Close();
  struct stat st {};
  EXPECT_NE(stat(path_.c_str(), &st), 0);
}

TEST_F(LogTest, AnUnwritableLogFailsTheOperationThatLogged) {
  port_->SetLogFile("/nonexistent-dir/log.txt");
  try {
    port_->Open();
    FAIL() << "logged to nowhere";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.ErrorCode, ENOENT);
  }
  EXPECT_TRUE(port_->Active());  // it had opened before it logged
}

// A completion wait logs only the request it finishes: a request that timed out, was abandoned by a
// close or finished while the log was off leaves nothing behind for the next wait to log from a
// buffer that has gone since.
TEST_F(LogTest, ACompletionIsLoggedOnceAndOnlyForItsOwnRequest) {
  const std::string open = "Open " + pty_.SlaveName();
  const std::string close = "Close " + pty_.SlaveName();
  const auto readCharThatTimesOut = [this] { EXPECT_THROW(port_->ReadChar(), EComError); };
  // The terminal hands a byte on in its own time: the read, bounded at 20 ms, starts once it is
  // there.
  const auto readCharThatCame = [this](char c) {
    pty_.Write(std::string(1, c));
    PumpUntil([&] { return port_->InputCount() >= 1; });
    EXPECT_EQ(port_->ReadChar(), c);
  };
  struct Case {
    const char* name;
    std::function<void()> act;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"a read that timed out with nothing",
       [&] {
         readCharThatTimesOut();
         readCharThatCame('Q');
       },
       {open, "Read request 1 byte(s)", "Read request 1 byte(s)", "Read complete $51", close}},
      {"a read that timed out short",
       [&] {
         pty_.Write("ab");
         PumpUntil([&] { return port_->InputCount() >= 2; });
         char buffer[3] = {};
         EXPECT_THROW(port_->Read(buffer, 3, true), EComError);
         readCharThatCame('Q');
       },
       {open, "Read request 3 byte(s)", "Read complete $61, $62", "Read request 1 byte(s)",
        "Read complete $51", close}},
      {"a read abandoned by a close",
       [&] {
         {
           char buffer[4] = {};
           port_->Read(buffer, 4, false);
         }
         port_->Close();
         port_->Open();
         readCharThatCame('Q');
       },
       {open, "Read request 4 byte(s)", close, open, "Read request 1 byte(s)", "Read complete $51",
        close}},
      {"a read that had ended short before its wait",
       [&] {
         pty_.Write("ab");
         PumpUntil([&] { return port_->InputCount() >= 2; });
         char buffer[4] = {'x', 'x', 'x', 'x'};
         port_->Read(buffer, 4, false);
         PumpUntil([&] { return !port_->ReadPending(); });  // its 20 ms are up
         port_->WaitForReadCompletion();
       },
       {open, "Read request 4 byte(s)", "Read complete $61, $62", close}},
      {"a read finished while the log was off",
       [&] {
         port_->SetLogFile("");
         readCharThatCame('Z');
         port_->SetLogFile(path_);
         port_->WaitForReadCompletion();
       },
       {open, close}},
  };
  port_->Timeouts().SetReadConstant(20);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(path_.c_str());
    port_->SetLogFile(path_);
    port_->Open();
    c.act();
    port_->Close();
    EXPECT_EQ(LogMessages(path_), c.expected);
  }
}

}  // namespace
}  // namespace comport::testing
