// The port log on a real pseudo-terminal.
#include <sys/stat.h>

#include <cerrno>
#include <fstream>

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

}  // namespace
}  // namespace comport::testing
