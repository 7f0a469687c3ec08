#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/DeviceProtocol.h"

namespace app {
namespace {

struct ParseCase {
  const char* name;
  std::string line;
  bool isStatus;
  int code;
  std::string text;
  int first;
  int second;
};

TEST(DeviceProtocolTest, StatusLinesParseByTheirResponseCode) {
  const std::string longDial(300, '7');
  const ParseCase cases[] = {
      {"identity", "+FPSTS1=7,89075089", true, 7, "", 89075089, 0},
      {"version", "+FPSTS1=8,123", true, 8, "", 123, 0},
      {"separators before and between fields", "+FPSTS1= , 5 ,20,1", true, 5, "", 20, 1},
      {"whitespace of every kind", "+FPSTS1=\t5\v\f20 \t 1", true, 5, "", 20, 1},
      {"number ends at the first non-digit", "+FPSTS1=4,55%", true, 4, "", 55, 0},
      {"missing numbers read 0", "+FPSTS1=5", true, 5, "", 0, 0},
      {"empty code reads 0", "+FPSTS1=x12", true, 0, "", 0, 0},
      {"leading comma is a separator", "+FPSTS1=,12", true, 12, "", 0, 0},
      {"hex text ends at a non-hex character", "+FPSTS1=1,0312xyz", true, 1, "0312", 0, 0},
      {"hex text may be empty", "+FPSTS1=2,", true, 2, "", 0, 0},
      {"hex letters belong to the text", "+FPSTS1=3,12aBz", true, 3, "12aB", 0, 0},
      {"model name is the rest of the line", "+FPSTS1=9,QMR7 Pro, v2", true, 9, "QMR7 Pro, v2", 0,
       0},
      {"address", "+FPSTS1=10, 00:1A:7D:DA:71:13", true, 10, "00:1A:7D:DA:71:13", 0, 0},
      {"write answers carry hex text", "+FPSTS1=21,0312", true, 21, "0312", 0, 0},
      {"huge numbers stop at the largest int", "+FPSTS1=7,99999999999999999999", true, 7, "",
       2147483647, 0},
      {"text over 255 characters is cut", "+FPSTS1=1," + longDial, true, 1, longDial.substr(0, 255),
       0, 0},
      {"lower-case tag is no status line", "+fpsts1=7,89075089", false, 0, "", 0, 0},
      {"echo is no status line", "AT+FPCMD1=7", false, 0, "", 0, 0},
      {"empty line", "", false, 0, "", 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto status = ParseStatusLine(c.line);
    ASSERT_EQ(status.has_value(), c.isStatus);
    if (!status) continue;
    EXPECT_EQ(status->code, c.code);
    EXPECT_EQ(status->text, c.text);
    EXPECT_EQ(status->first, c.first);
    EXPECT_EQ(status->second, c.second);
  }
}

TEST(DeviceProtocolTest, OkLinesAreThoseStartingWithOk) {
  EXPECT_TRUE(IsOkLine("OK"));
  EXPECT_TRUE(IsOkLine("OKAY"));
  EXPECT_FALSE(IsOkLine("ok"));
  EXPECT_FALSE(IsOkLine(" OK"));
  EXPECT_FALSE(IsOkLine("O"));
}

TEST(DeviceProtocolTest, CommandLinesEndInACarriageReturnOnly) {
  EXPECT_EQ(CommandLine(7), "AT+FPCMD1=7\r");
  EXPECT_EQ(CommandLine(21, ""), "AT+FPCMD1=21,\r");
  EXPECT_EQ(CommandLine(22, "0312345"), "AT+FPCMD1=22,0312345\r");
  EXPECT_EQ(CommandLine(24, 100), "AT+FPCMD1=24,100\r");
  EXPECT_EQ(CommandLine(25, 20, -1), "AT+FPCMD1=25,20,-1\r");
}

}  // namespace
}  // namespace app

namespace app {
namespace {

std::vector<std::string> TakeAll(LineBuffer& buffer) {
  std::vector<std::string> lines;
  while (auto line = buffer.TakeLine())
    lines.push_back(*line);
  return lines;
}

TEST(LineBufferTest, LinesEndAtLineFeedsAndTheirTextAtCarriageReturns) {
  struct Case {
    const char* name;
    std::vector<std::string> pieces;
    std::vector<std::string> lines;
    std::size_t left;
  };
  const std::vector<Case> cases = {
      {"one burst", {"OK\r\n+FPSTS1=8,123\r\n"}, {"OK", "+FPSTS1=8,123"}, 0},
      {"split over pieces", {"+FPST", "S1=8,1", "23\r", "\n"}, {"+FPSTS1=8,123"}, 0},
      {"partial line waits", {"OK\r\n+FPSTS1=8"}, {"OK"}, 9},
      {"text ends at the first CR", {"OK\rjunk\r\n"}, {"OK"}, 0},
      {"bare LF", {"\n\nOK\n"}, {"", "", "OK"}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LineBuffer buffer;
    std::vector<std::string> lines;
    for (const auto& piece : c.pieces) {
      buffer.Append(piece);
      for (auto& l : TakeAll(buffer))
        lines.push_back(l);
    }
    EXPECT_EQ(lines, c.lines);
    EXPECT_EQ(buffer.Length(), c.left);
  }
}

TEST(LineBufferTest, AnOverlongLineIsDroppedAndReadingResumesAfterItsLineFeed) {
  LineBuffer buffer;
  buffer.Append("OK\r\n");
  EXPECT_EQ(TakeAll(buffer), (std::vector<std::string>{"OK"}));
  buffer.Append(std::string(3000, 'x'));
  EXPECT_LE(buffer.Length(), LineBuffer::kCapacity);
  EXPECT_TRUE(buffer.Discarding());
  EXPECT_TRUE(TakeAll(buffer).empty());
  buffer.Append("still the same line\r\n+FPSTS1=8,5\r\n");
  EXPECT_EQ(TakeAll(buffer), (std::vector<std::string>{"+FPSTS1=8,5"}));
  EXPECT_EQ(buffer.Length(), 0u);

  // Exactly full without a line feed, then the line feed: that line is lost, the next one is not.
  LineBuffer full;
  full.Append(std::string(LineBuffer::kCapacity, 'y'));
  EXPECT_EQ(full.Length(), LineBuffer::kCapacity);
  full.Append("\nOK\n");
  EXPECT_EQ(TakeAll(full), (std::vector<std::string>{"OK"}));
}

TEST(LineBufferTest, WholeLinesNobodyTookMakeRoomOldestFirst) {
  LineBuffer buffer;
  for (int i = 0; i < 200; ++i)
    buffer.Append("OK" + std::to_string(i % 10) + "\r\n");  // 1000 bytes
  buffer.Append(std::string(100, 'z') + "\n");
  EXPECT_LE(buffer.Length(), LineBuffer::kCapacity);
  const auto lines = TakeAll(buffer);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), std::string(100, 'z'));
}

}  // namespace
}  // namespace app
