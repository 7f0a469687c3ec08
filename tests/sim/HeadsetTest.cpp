#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/Headset.h"

namespace sim {
namespace {

using std::chrono::milliseconds;

HeadsetState SampleState() {
  HeadsetState state;
  state.settings.speedDials = {"0312345678", "", "911"};
  state.settings.a2dpPercentage = 45;
  state.settings.gpsPercentage = 70;
  state.settings.gpsSharing = 0;
  state.info.firmwareVersion = 5;
  state.info.modelName = "QMR7";
  state.info.address = "00:0B:24:52:37:19";
  return state;
}

// The answer to one command line ended by CR, as the tool sends it.
std::string Ask(Headset& headset, const std::string& command) {
  return headset.Receive(command + "\r").Bytes();
}

TEST(HeadsetTest, EveryReadCodeAnswersOkAndItsStatusLine) {
  struct Case {
    const char* command;
    const char* answer;
  };
  const Case cases[] = {
      {"AT+FPCMD1=7", "OK\r\n+FPSTS1=7,89075089\r\n"},
      {"AT+FPCMD1=8", "OK\r\n+FPSTS1=8,5\r\n"},
      {"AT+FPCMD1=9", "OK\r\n+FPSTS1=9,QMR7\r\n"},
      {"AT+FPCMD1=10", "OK\r\n+FPSTS1=10,00:0B:24:52:37:19\r\n"},
      {"AT+FPCMD1=1", "OK\r\n+FPSTS1=1,0312345678\r\n"},
      {"AT+FPCMD1=2", "OK\r\n+FPSTS1=2,\r\n"},  // an empty speed dial is an empty field
      {"AT+FPCMD1=3", "OK\r\n+FPSTS1=3,911\r\n"},
      {"AT+FPCMD1=4", "OK\r\n+FPSTS1=4,45\r\n"},
      {"AT+FPCMD1=5", "OK\r\n+FPSTS1=5,70,0\r\n"},
      {"AT", "OK\r\n"},
  };
  Headset headset(SampleState());
  for (const auto& c : cases) {
    const Reply reply = headset.Receive(std::string(c.command) + "\r");
    EXPECT_EQ(reply.Bytes(), c.answer) << c.command;
    EXPECT_FALSE(reply.stateChanged) << c.command;
    EXPECT_EQ(reply.departure, Departure::None) << c.command;
  }
  EXPECT_EQ(headset.State(), SampleState());
}

TEST(HeadsetTest, TheLinesTakenAreReportedInTheirOrderThoseItRefusesToo) {
  Headset headset(SampleState());
  // Two whole lines and the start of a third in one piece; the third ends in the next.
  EXPECT_EQ(headset.Receive("AT+FPCMD1=8\rbogus\rAT+FP").heard,
            (std::vector<std::string>{"AT+FPCMD1=8", "bogus"}));
  EXPECT_EQ(headset.Receive("CMD1=9\r").heard, std::vector<std::string>{"AT+FPCMD1=9"});
  EXPECT_TRUE(headset.Receive("AT+FP").heard.empty());
}

TEST(HeadsetTest, FactoryStateIsWhatTheToolShowsBeforeTheDeviceReports) {
  Headset headset;
  EXPECT_EQ(Ask(headset, "AT+FPCMD1=8"), "OK\r\n+FPSTS1=8,123\r\n");
  EXPECT_EQ(Ask(headset, "AT+FPCMD1=1"), "OK\r\n+FPSTS1=1,\r\n");
  EXPECT_EQ(Ask(headset, "AT+FPCMD1=4"), "OK\r\n+FPSTS1=4,20\r\n");
  EXPECT_EQ(Ask(headset, "AT+FPCMD1=5"), "OK\r\n+FPSTS1=5,20,1\r\n");
}

TEST(HeadsetTest, LinesEndAtCrOrLfAndMayArriveInAnyPieces) {
  Headset headset(SampleState());
  const std::string expected = "OK\r\n+FPSTS1=8,5\r\n";
  EXPECT_EQ(headset.Receive("AT+FPCMD1=8\r").Bytes(), expected);
  EXPECT_EQ(headset.Receive("AT+FPCMD1=8\r\n").Bytes(), expected);  // the LF is an empty line
  EXPECT_EQ(headset.Receive("AT+FPCMD1=8\n").Bytes(), expected);
  EXPECT_EQ(headset.Receive("\r\n\n\r").Bytes(), "");

  std::string answer;
  for (const char c : std::string("AT+FPCMD1=8\r"))
    answer += headset.Receive(std::string(1, c)).Bytes();
  EXPECT_EQ(answer, expected);

  EXPECT_EQ(headset.Receive("AT+FPCMD1=7\rAT+FPCMD1=9\rAT+FPC").Bytes(),
            "OK\r\n+FPSTS1=7,89075089\r\nOK\r\n+FPSTS1=9,QMR7\r\n");
  EXPECT_EQ(headset.Receive("MD1=4\r").Bytes(), "OK\r\n+FPSTS1=4,45\r\n");
}

TEST(HeadsetTest, UnknownInputIsAnsweredWithError) {
  const char* const inputs[] = {
      "hello",
      "AT+FPCMD1=",          // no code
      "AT+FPCMD1=6",         // not a code of the device
      "AT+FPCMD1=99",        //
      "AT+FPCMD1=x7",        //
      "AT+FPCMD1=-7",        //
      "AT+FPCMD1=7,1",       // a read takes no argument
      "AT+FPCMD1=21",        // a write needs its value
      "AT+FPCMD1=24,50,1",   // one too many
      "AT+FPCMD1=25,50",     // one too few
      "AT+FPCMD2=7",         //
      "+FPSTS1=7,89075089",  // the device's own line sent back
  };
  Headset headset(SampleState());
  for (const char* input : inputs) {
    const Reply reply = headset.Receive(std::string(input) + "\r");
    EXPECT_EQ(reply.Bytes(), "ERROR\r\n") << input;
    EXPECT_FALSE(reply.stateChanged) << input;
  }
  EXPECT_EQ(headset.State(), SampleState());
  EXPECT_EQ(Ask(headset, "at+fpcmd1=8"), "OK\r\n+FPSTS1=8,5\r\n");  // AT commands ignore case
}

TEST(HeadsetTest, AnOverlongLineIsAnErrorAndTheNextLineWorks) {
  Headset headset(SampleState());
  const std::string longLine = "AT+FPCMD1=21," + std::string(kMaxLineLength, '1');
  EXPECT_EQ(headset.Receive(longLine + "\r").Bytes(), "ERROR\r\n");
  EXPECT_EQ(headset.State(), SampleState());
  EXPECT_EQ(Ask(headset, "AT+FPCMD1=8"), "OK\r\n+FPSTS1=8,5\r\n");
}

TEST(HeadsetTest, WritesStoreValidValuesAndReportTheValueKept) {
  struct Case {
    const char* command;
    const char* status;  // after OK
    bool changes;
  };
  // Each case starts from SampleState: speed dials 0312345678, "", 911; A2DP 45; GPS 70, 0.
  const Case cases[] = {
      {"AT+FPCMD1=21,0801234567", "+FPSTS1=21,0801234567", true},
      {"AT+FPCMD1=22,1234567890123456", "+FPSTS1=22,1234567890123456", true},  // 16 digits
      {"AT+FPCMD1=23,", "+FPSTS1=23,", true},                                  // cleared
      {"AT+FPCMD1=21,0312345678", "+FPSTS1=21,0312345678", false},             // same value
      {"AT+FPCMD1=21,12345678901234567", "+FPSTS1=21,0312345678", false},      // 17 digits
      {"AT+FPCMD1=21,03-1234", "+FPSTS1=21,0312345678", false},
      {"AT+FPCMD1=23,abc", "+FPSTS1=23,911", false},
      {"AT+FPCMD1=23, 911", "+FPSTS1=23,911", false},
      {"AT+FPCMD1=24,1", "+FPSTS1=24,1", true},
      {"AT+FPCMD1=24,100", "+FPSTS1=24,100", true},
      {"AT+FPCMD1=24,0100", "+FPSTS1=24,100", true},
      {"AT+FPCMD1=24,0", "+FPSTS1=24,45", false},
      {"AT+FPCMD1=24,101", "+FPSTS1=24,45", false},
      {"AT+FPCMD1=24,-1", "+FPSTS1=24,45", false},
      {"AT+FPCMD1=24,", "+FPSTS1=24,45", false},
      {"AT+FPCMD1=24,5x", "+FPSTS1=24,45", false},
      {"AT+FPCMD1=24,99999999999", "+FPSTS1=24,45", false},
      {"AT+FPCMD1=25,20,1", "+FPSTS1=25,20,1", true},
      {"AT+FPCMD1=25,100,0", "+FPSTS1=25,100,0", true},
      {"AT+FPCMD1=25,20,2", "+FPSTS1=25,70,0", false},  // all or nothing
      {"AT+FPCMD1=25,0,1", "+FPSTS1=25,70,0", false},
      {"AT+FPCMD1=25,20,-1", "+FPSTS1=25,70,0", false},
  };
  for (const auto& c : cases) {
    Headset headset(SampleState());
    const Reply reply = headset.Receive(std::string(c.command) + "\r");
    EXPECT_EQ(reply.Bytes(), std::string("OK\r\n") + c.status + "\r\n") << c.command;
    EXPECT_EQ(reply.stateChanged, c.changes) << c.command;
    EXPECT_EQ(headset.State() != SampleState(), c.changes) << c.command;
  }
}

TEST(HeadsetTest, WritesAreReadBackAndFactoryDefaultsRestoreOnlyTheSettings) {
  Headset headset(SampleState());
  Ask(headset, "AT+FPCMD1=21,111");
  Ask(headset, "AT+FPCMD1=22,222");
  Ask(headset, "AT+FPCMD1=23,333");
  Ask(headset, "AT+FPCMD1=24,99");
  Ask(headset, "AT+FPCMD1=25,15,1");
  EXPECT_EQ(Ask(headset, "AT+FPCMD1=1"), "OK\r\n+FPSTS1=1,111\r\n");
  EXPECT_EQ(Ask(headset, "AT+FPCMD1=2"), "OK\r\n+FPSTS1=2,222\r\n");
  EXPECT_EQ(Ask(headset, "AT+FPCMD1=3"), "OK\r\n+FPSTS1=3,333\r\n");
  EXPECT_EQ(Ask(headset, "AT+FPCMD1=4"), "OK\r\n+FPSTS1=4,99\r\n");
  EXPECT_EQ(Ask(headset, "AT+FPCMD1=5"), "OK\r\n+FPSTS1=5,15,1\r\n");

  const Reply reset = headset.Receive("AT+FPCMD1=27\r");
  EXPECT_EQ(reset.Bytes(), "OK\r\n+FPSTS1=27\r\n");
  EXPECT_TRUE(reset.stateChanged);
  EXPECT_EQ(headset.State().settings, Settings{});
  EXPECT_EQ(headset.State().info, SampleState().info);  // firmware, model, address stay
  EXPECT_EQ(Ask(headset, "AT+FPCMD1=1"), "OK\r\n+FPSTS1=1,\r\n");
  EXPECT_EQ(Ask(headset, "AT+FPCMD1=5"), "OK\r\n+FPSTS1=5,20,1\r\n");
  EXPECT_FALSE(headset.Receive("AT+FPCMD1=27\r").stateChanged);  // already at the defaults
}

TEST(HeadsetTest, CodeTwentyAnswersThenLeavesAndLosesWhatFollows) {
  Headset headset(SampleState());
  const Reply reply = headset.Receive("AT+FPCMD1=20\rAT+FPCMD1=24,90\rAT+FP");
  EXPECT_EQ(reply.Bytes(), "OK\r\n+FPSTS1=20\r\n");
  EXPECT_EQ(reply.departure, Departure::UpgradeMode);
  EXPECT_EQ(headset.State(), SampleState());
  // Back on the serial side, the half command from before is forgotten.
  EXPECT_EQ(Ask(headset, "AT+FPCMD1=8"), "OK\r\n+FPSTS1=8,5\r\n");
  headset.SetFirmwareVersion(124);
  EXPECT_EQ(Ask(headset, "AT+FPCMD1=8"), "OK\r\n+FPSTS1=8,124\r\n");
}

Headset WithFaults(const std::string& faultList) {
  Faults faults;
  std::size_t start = 0;
  for (;;) {
    const auto comma = faultList.find(',', start);
    EXPECT_EQ(AddFault(faultList.substr(start, comma - start), faults), "");
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  Timing timing;
  timing.splitGap = milliseconds(7);
  return Headset(SampleState(), faults, timing);
}

TEST(HeadsetFaultTest, SilentAnswersNothingAndChangesNothing) {
  Headset headset = WithFaults("silent");
  for (const char* command : {"AT+FPCMD1=7\r", "AT+FPCMD1=24,90\r", "AT+FPCMD1=20\r", "junk\r"}) {
    const Reply reply = headset.Receive(command);
    EXPECT_TRUE(reply.chunks.empty()) << command;
    EXPECT_EQ(reply.departure, Departure::None) << command;
  }
  EXPECT_EQ(headset.State(), SampleState());
}

TEST(HeadsetFaultTest, OkOnlyCarriesOutCommandsWithoutStatusLines) {
  Headset headset = WithFaults("ok-only");
  EXPECT_EQ(Ask(headset, "AT+FPCMD1=7"), "OK\r\n");
  const Reply write = headset.Receive("AT+FPCMD1=24,90\r");
  EXPECT_EQ(write.Bytes(), "OK\r\n");
  EXPECT_TRUE(write.stateChanged);
  EXPECT_EQ(headset.State().settings.a2dpPercentage, 90);
  EXPECT_EQ(Ask(headset, "bogus"), "ERROR\r\n");
}

TEST(HeadsetFaultTest, WrongIdentityChangesOnlyTheIdentity) {
  Headset headset = WithFaults("wrong-identity");
  EXPECT_EQ(Ask(headset, "AT+FPCMD1=7"), "OK\r\n+FPSTS1=7,89075088\r\n");
  EXPECT_EQ(Ask(headset, "AT+FPCMD1=8"), "OK\r\n+FPSTS1=8,5\r\n");
}

TEST(HeadsetFaultTest, SplitWritesEachLineInPiecesWithGaps) {
  Headset headset = WithFaults("split");
  const std::vector<Chunk> expected = {
      {milliseconds(0), "O"},      {milliseconds(7), "K\r"},     {milliseconds(7), "\n"},
      {milliseconds(7), "+FPSTS"}, {milliseconds(7), "1=8,5\r"}, {milliseconds(7), "\n"},
  };
  EXPECT_EQ(headset.Receive("AT+FPCMD1=8\r").chunks, expected);
}

TEST(HeadsetFaultTest, SlowPausesBeforeEachAnswerOnly) {
  Headset headset = WithFaults("slow=1500");
  const Reply reply = headset.Receive("AT+FPCMD1=7\rAT+FPCMD1=8\r");
  const std::vector<Chunk> expected = {
      {milliseconds(1500), "OK\r\n+FPSTS1=7,89075089\r\n"},
      {milliseconds(1500), "OK\r\n+FPSTS1=8,5\r\n"},
  };
  EXPECT_EQ(reply.chunks, expected);
}

TEST(HeadsetFaultTest, SlowAndSplitCombine) {
  Headset headset = WithFaults("slow=300,split");
  const Reply reply = headset.Receive("AT\r");
  const std::vector<Chunk> expected = {
      {milliseconds(300), "O"}, {milliseconds(7), "K\r"}, {milliseconds(7), "\n"}};
  EXPECT_EQ(reply.chunks, expected);
}

TEST(HeadsetFaultTest, NoiseEchoesTheCommandAndAddsLinesThatAreNeitherOkNorStatus) {
  Headset headset = WithFaults("noise");
  for (int round = 0; round < 4; ++round) {
    const std::string bytes = headset.Receive("AT+FPCMD1=5\r").Bytes();
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2) {
      lines.push_back(bytes.substr(start, end - start));
    }
    EXPECT_EQ(start, bytes.size()) << "every line ends with CR LF";
    ASSERT_EQ(lines.size(), 4u) << bytes;
    EXPECT_EQ(lines[0], "AT+FPCMD1=5");
    EXPECT_EQ(lines[1], "OK");
    EXPECT_NE(lines[2].substr(0, 2), "OK");
    EXPECT_NE(lines[2].substr(0, 8), "+FPSTS1=");
    EXPECT_EQ(lines[3], "+FPSTS1=5,70,0");
  }
}

TEST(HeadsetFaultTest, UnplugAfterLeavesOnceThatManyLinesWereHandled) {
  Headset headset = WithFaults("unplug-after=3");
  EXPECT_EQ(headset.Receive("AT+FPCMD1=7\r").departure, Departure::None);
  EXPECT_EQ(headset.Receive("junk\r").departure, Departure::None);  // counts: it is a line
  const Reply last = headset.Receive("AT+FPCMD1=8\rAT+FPCMD1=9\r");
  EXPECT_EQ(last.Bytes(), "OK\r\n+FPSTS1=8,5\r\n");  // the third is answered, the fourth lost
  EXPECT_EQ(last.departure, Departure::Unplug);
}

TEST(HeadsetFaultTest, FaultNamesAreCheckedWhenGiven) {
  struct Case {
    const char* text;
    bool valid;
  };
  const Case cases[] = {
      {"silent", true},
      {"ok-only", true},
      {"wrong-identity", true},
      {"split", true},
      {"noise", true},
      {"slow=0", true},
      {"slow=250", true},
      {"unplug-after=1", true},
      {"unplug-after=0", false},
      {"slow", false},
      {"slow=", false},
      {"slow=-5", false},
      {"slow=1s", false},
      {"unplug-after", false},
      {"split=3", false},
      {"loud", false},
      {"", false},
      {"Silent", false},
  };
  for (const auto& c : cases) {
    Faults faults;
    EXPECT_EQ(AddFault(c.text, faults).empty(), c.valid) << c.text;
    if (!c.valid) {
      EXPECT_EQ(faults, Faults{}) << c.text;
    }
  }
  Faults faults;
  AddFault("slow=250", faults);
  AddFault("unplug-after=4", faults);
  EXPECT_EQ(faults.slow, milliseconds(250));
  EXPECT_EQ(faults.unplugAfter, 4);
}

}  // namespace
}  // namespace sim
