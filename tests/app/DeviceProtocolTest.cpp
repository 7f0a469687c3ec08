#include <gtest/gtest.h>

#include <string>

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
