// qmr7ctl's commands in-process, against the headset model: what they send, print and return.
#include <sys/stat.h>

#include <filesystem>

#include "resources/Version.h"
#include "tests/ctl/CtlFixture.h"
#include "tests/support/Hostile.h"
#include "tests/upgrade/FirmwareFiles.h"
#include "toolkit/Utf.h"
#include "tools/qmr7ctl/Commands.h"
#include "tools/qmr7ctl/Settings.h"

namespace qmr7ctl::testing {
namespace {

using testsupport::ReadFile;
using testsupport::WriteFile;

constexpr char kBackup[] = R"json({
  "format": "qmr7-settings",
  "version": 1,
  "device": {
    "model": "QMR7",
    "address": "00:0B:24:52:37:19",
    "firmware-version": 123
  },
  "settings": {
    "speed-dial-1": "0312",
    "speed-dial-2": "",
    "speed-dial-3": "5551234",
    "a2dp-percentage": 45,
    "gps-percentage": 70,
    "gps-sharing": false
  }
}
)json";

sim::Settings BackupSettings() {
  sim::Settings settings;
  settings.speedDials = {"0312", "", "5551234"};
  settings.a2dpPercentage = 45;
  settings.gpsPercentage = 70;
  settings.gpsSharing = 0;
  return settings;
}

// Every way to get the command line, the values or the files wrong: a clear message, a non-zero
// exit, and the headset's port never opened.
TEST_F(CtlTest, BadInputIsRefusedBeforeThePortIsOpened) {
  WriteFile(tmp / "exists.json", "{}");
  const std::string backupOf = [](std::string text) { return text; }(kBackup);
  auto backupWith = [&](const std::string& from, const std::string& to) {
    std::string text = backupOf;
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
  };
  struct Case {
    std::vector<std::string> args;
    std::string file;  // written to tmp/in.json first when not empty
    Exit exit;
    std::string message;
  };
  const std::string in = tmp / "in.json";
  const Case cases[] = {
      {{}, "", Exit::Usage, "Usage: qmr7ctl"},
      {{"frobnicate"}, "", Exit::Usage, "Unknown command 'frobnicate'."},
      {{"get", "--colour"}, "", Exit::Usage, "Unknown option '--colour'."},
      {{"get", "--port"}, "", Exit::Usage, "Option --port needs a value."},
      {{"get", "--port="}, "", Exit::Usage, "Option --port needs a value."},
      {{"get", "extra"}, "", Exit::Usage, "'get' takes no arguments."},
      {{"ports", "--port", "/dev/ttyS0"},
       "",
       Exit::Usage,
       "Option --port does not apply to 'ports'."},
      {{"get", "--force"}, "", Exit::Usage, "Option --force does not apply to 'get'."},
      {{"set"}, "", Exit::Usage, "'set' takes KEY=VALUE arguments."},
      {{"set", "speed-dial-1"}, "", Exit::Usage, "'speed-dial-1' is not KEY=VALUE."},
      {{"set", "volume=3"},
       "",
       Exit::Usage,
       "Unknown setting 'volume'. The settings are: "
       "speed-dial-1, speed-dial-2, speed-dial-3, "
       "a2dp-percentage, gps-percentage, gps-sharing."},
      {{"set", "a2dp-percentage=20", "a2dp-percentage=30"},
       "",
       Exit::Usage,
       "Setting a2dp-percentage is given twice."},
      {{"set", "speed-dial-1=03 12"},
       "",
       Exit::Usage,
       "speed-dial-1: the allowed input number is from 0 to 9."},
      {{"set", "speed-dial-2=+4930"},
       "",
       Exit::Usage,
       "speed-dial-2: the allowed input number is from 0 to 9."},
      {{"set", "speed-dial-3=12345678901234567"},
       "",
       Exit::Usage,
       "speed-dial-3: exceeds the allowed number of digits (16)."},
      {{"set", "speed-dial-1=0312", "a2dp-percentage=0"},
       "",
       Exit::Usage,
       "a2dp-percentage: a whole number from 1 to 100 is allowed."},
      {{"set", "gps-percentage=101"},
       "",
       Exit::Usage,
       "gps-percentage: a whole number from 1 to 100 is allowed."},
      {{"set", "gps-percentage=-5"},
       "",
       Exit::Usage,
       "gps-percentage: a whole number from 1 to 100 is allowed."},
      {{"set", "gps-percentage=2O"},
       "",
       Exit::Usage,
       "gps-percentage: a whole number from 1 to 100 is allowed."},
      {{"set", "gps-percentage="},
       "",
       Exit::Usage,
       "gps-percentage: a whole number from 1 to 100 is allowed."},
      {{"set", "gps-sharing=maybe"}, "", Exit::Usage, "gps-sharing: yes or no is allowed."},
      {{"backup"}, "", Exit::Usage, "'backup' takes one FILE."},
      {{"backup", tmp / "exists.json"},
       "",
       Exit::Usage,
       tmp / "exists.json" + " already exists; use --force to replace it."},
      {{"upgrade"}, "", Exit::Usage, "'upgrade' takes one FILE."},
      {{"restore", tmp / "missing.json"},
       "",
       Exit::FileInvalid,
       "Unable to read " + tmp / "missing.json" + ": No such file or directory."},
      {{"restore", tmp.Path()}, "", Exit::FileInvalid, ": not a regular file."},
      {{"restore", in}, std::string(70000, ' '), Exit::FileInvalid, "larger than 65536 bytes"},
      {{"restore", in},
       "",
       Exit::FileInvalid,
       "is not a settings backup: line 1, column 1: the document ends where a value should be."},
      {{"restore", in}, "[]", Exit::FileInvalid, "the document is not a JSON object."},
      {{"restore", in},
       backupWith("\"gps-percentage\": 70,", "\"gps-percentage\": 70"),
       Exit::FileInvalid,
       "line 15, column 5: expected ',' or '}'."},
      {{"restore", in},
       backupWith("qmr7-settings", "qmr7-setting"),
       Exit::FileInvalid,
       "\"format\" must be \"qmr7-settings\"."},
      {{"restore", in},
       backupWith("\"version\": 1", "\"version\": 2"),
       Exit::FileInvalid,
       "is a settings backup of version 2, which this qmr7ctl does not know."},
      {{"restore", in},
       backupWith("\"version\": 1", "\"version\": \"1\""),
       Exit::FileInvalid,
       "\"version\" must be a number, not string."},
      {{"restore", in},
       backupWith("\"version\": 1,", ""),
       Exit::FileInvalid,
       "the member \"version\" is missing."},
      {{"restore", in},
       backupWith("\"device\"", "\"devices\""),
       Exit::FileInvalid,
       "unknown member \"devices\"."},
      {{"restore", in},
       backupWith("\"speed-dial-2\"", "\"speed-dail-2\""),
       Exit::FileInvalid,
       "Unknown setting 'speed-dail-2'."},
      {{"restore", in},
       backupWith("\"speed-dial-3\": \"5551234\",", ""),
       Exit::FileInvalid,
       "the member \"speed-dial-3\" is missing."},
      {{"restore", in},
       backupWith("\"0312\"", "312"),
       Exit::FileInvalid,
       "\"speed-dial-1\" must be a string, not number."},
      {{"restore", in},
       backupWith("\"0312\"", "\"03-12\""),
       Exit::FileInvalid,
       "speed-dial-1: the allowed input number is from 0 to 9."},
      {{"restore", in},
       backupWith("\"5551234\"", "\"55512345555123455\""),
       Exit::FileInvalid,
       "speed-dial-3: exceeds the allowed number of digits (16)."},
      {{"restore", in},
       backupWith("\"a2dp-percentage\": 45", "\"a2dp-percentage\": 0"),
       Exit::FileInvalid,
       "a2dp-percentage: a whole number from 1 to 100 is allowed."},
      {{"restore", in},
       backupWith("\"gps-percentage\": 70", "\"gps-percentage\": 4294967366"),
       Exit::FileInvalid,
       "gps-percentage: a whole number from 1 to 100 is allowed."},
      {{"restore", in},
       backupWith("\"gps-sharing\": false", "\"gps-sharing\": 0"),
       Exit::FileInvalid,
       "\"gps-sharing\" must be true or false, not number."},
      {{"restore", in},
       backupWith("\"settings\": {", "\"settings\": {\"settings\": {}, "),
       Exit::FileInvalid,
       "Unknown setting 'settings'."},
      {{"firmware", tmp / "missing.dfu"}, "", Exit::FileInvalid, "Incorrect firmware file: "},
      {{"firmware", in}, "not firmware", Exit::FileInvalid, "Incorrect firmware file: "},
      {{"firmware", std::string(300, 'x') + ".dfu"},
       "",
       Exit::FileInvalid,
       "Incorrect firmware file: "},
  };
  for (const auto& c : cases) {
    std::string label;
    for (const auto& a : c.args)
      label += a.substr(0, 60) + " ";
    if (!c.file.empty() || (c.args.size() == 2 && c.args[1] == in)) WriteFile(in, c.file);
    EXPECT_EQ(Ctl(c.args), static_cast<int>(c.exit)) << label << "\n" << err;
    EXPECT_NE(err.find(c.message), std::string::npos) << label << "\n" << err;
    EXPECT_EQ(connects, 0) << label;
    EXPECT_EQ(headset.LinesHandled(), 0) << label;
    if (c.exit != Exit::FileInvalid) {
      EXPECT_EQ(out, "") << label;
    }
  }
  EXPECT_EQ(ReadFile(tmp / "exists.json"), "{}");
}

TEST_F(CtlTest, PortsAreListedInTheWindowsOrderWithItsPreselection) {
  ports.ports = {{"/dev/ttyUSB10", "USB Serial Device (FT232R)"},
                 {"/dev/ttyS0", "Serial Port (ttyS0)"},
                 {"/dev/ttyUSB2", "usb serial device (CP2102)"},
                 {std::string(256, 'p'), "USB Serial Device (name too long)"}};
  EXPECT_EQ(Ctl({"ports"}), 0) << err;
  EXPECT_EQ(out,
            "  /dev/ttyS0  -  Serial Port (ttyS0)\n"
            "* /dev/ttyUSB2  -  usb serial device (CP2102)\n"
            "  /dev/ttyUSB10  -  USB Serial Device (FT232R)\n");
  EXPECT_EQ(Ctl({"ports", "--json"}), 0) << err;
  EXPECT_EQ(out, R"json({
  "ports": [
    {
      "name": "/dev/ttyS0",
      "description": "Serial Port (ttyS0)",
      "preselected": false
    },
    {
      "name": "/dev/ttyUSB2",
      "description": "usb serial device (CP2102)",
      "preselected": true
    },
    {
      "name": "/dev/ttyUSB10",
      "description": "USB Serial Device (FT232R)",
      "preselected": false
    }
  ]
}
)json");

  ports.ports.clear();
  EXPECT_EQ(Ctl({"ports", "--json"}), 0);
  EXPECT_EQ(out, "{\n  \"ports\": []\n}\n");
  EXPECT_EQ(Ctl({"ports"}), 0);
  EXPECT_EQ(err, "No serial port found.\n");
}

TEST_F(CtlTest, WithoutPortTheOneHeadsetPortIsUsedOrTheCandidatesNamed) {
  struct Case {
    std::vector<platform::PortInfo> ports;
    int exit;
    std::string message;  // or, on success, the port used
  };
  const Case cases[] = {
      {{{"/dev/ttyS0", "Serial Port (ttyS0)"}, {"/dev/ttyACM3", "USB Serial Device (QM-R7)"}},
       0,
       "/dev/ttyACM3"},
      {{}, 3, "qmr7ctl: No serial port found. Is the headset connected?\n"},
      {{{"/dev/ttyS1", "Serial Port (ttyS1)"}, {"/dev/ttyS0", "Serial Port (ttyS0)"}},
       3,
       "qmr7ctl: No headset port among /dev/ttyS0, /dev/ttyS1. Choose one with --port.\n"},
      {{{"/dev/ttyACM1", "USB Serial Device (A)"},
        {"/dev/ttyS0", "Serial Port (ttyS0)"},
        {"/dev/ttyACM0", "USB Serial Device (B)"}},
       3,
       "qmr7ctl: Several headset ports: /dev/ttyACM0, /dev/ttyACM1. Choose one with --port.\n"},
  };
  for (const auto& c : cases) {
    ports.ports = c.ports;
    lastPort.clear();
    EXPECT_EQ(Ctl({"info"}), c.exit) << c.message;
    if (c.exit == 0) {
      EXPECT_EQ(lastPort, c.message);
    } else {
      EXPECT_EQ(err, c.message);
      EXPECT_EQ(out, "");
    }
  }
  EXPECT_EQ(Ctl({"info", "--port", "COM7"}), 0);
  EXPECT_EQ(lastPort, "COM7");
}

TEST_F(CtlTest, InfoShowsTheIdentityVersionModelAndAddress) {
  EXPECT_EQ(Ctl({"info"}), 0) << err;
  EXPECT_EQ(out,
            "Port:              /dev/ttyACM0\n"
            "Identity:          89075089\n"
            "Firmware version:  V1.23\n"
            "Model:             QMR7\n"
            "Device address:    00:0B:24:52:37:19\n");
  EXPECT_EQ(Ctl({"--json", "info"}), 0) << err;
  EXPECT_EQ(out, R"json({
  "port": "/dev/ttyACM0",
  "identity": 89075089,
  "firmware-version": 123,
  "firmware-version-text": "V1.23",
  "model": "QMR7",
  "address": "00:0B:24:52:37:19"
}
)json");
  EXPECT_EQ(err, "");
}

TEST_F(CtlTest, DeviceTextsCannotSteerTheTerminal) {
  sim::HeadsetState state;
  state.info.modelName =
      "QMR7\x1b]0;owned\x07\x1b[2J\xc2\x9b"
      "2J";
  headset = sim::Headset(state);
  EXPECT_EQ(Ctl({"info"}), 0) << err;
  EXPECT_NE(out.find("Model:             QMR7?]0;owned??[2J?2J\n"), std::string::npos) << out;
  EXPECT_EQ(Ctl({"info", "--json"}), 0) << err;
  EXPECT_NE(out.find("\"model\": \"QMR7\\u001b]0;owned\\u0007\\u001b[2J\\u009b2J\""),
            std::string::npos)
      << out;
  // Also in the port list (the description holds the device's USB product string) and where a
  // message names the model.
  ports.ports = {{"/dev/ttyACM0", "USB Serial Device (QM\x1b[2J)"}};
  EXPECT_EQ(Ctl({"ports"}), 0) << err;
  EXPECT_EQ(out, "* /dev/ttyACM0  -  USB Serial Device (QM?[2J)\n");
  const std::string file = dfu::testing::WriteFirmware(tmp / "QMR7.dfu", dfu::testing::Header());
  EXPECT_EQ(Ctl({"firmware", file}), 6);
  EXPECT_EQ(err,
            "qmr7ctl: The firmware file selected cannot match with your device model "
            "(QMR7?]0;owned??[2J?2J).\n");
  testsupport::RecordHostile("Terminal",
                             "a headset whose model name (and USB product string) holds escape "
                             "sequences and C1 controls",
                             "shown with '?' for each by info, ports and firmware; kept as it came "
                             "in --json, escaped");
}

// Only what a terminal shows as text: no control, no C1 control, no byte that starts no character.
::testing::AssertionResult SafeForATerminal(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\n') || c == 0x7F)
      return ::testing::AssertionFailure() << "control byte at " << i << ": " << text;
    if (c < 0x80) continue;
    const std::size_t size = toolkit::Utf8CharSize(text, i);
    if (size == 1) return ::testing::AssertionFailure() << "stray byte at " << i << ": " << text;
    if (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F)
      return ::testing::AssertionFailure() << "C1 control at " << i << ": " << text;
    i += size - 1;
  }
  return ::testing::AssertionSuccess();
}

// Text from a backup file, the command line or the system reaches the terminal in a message:
// escape sequences, 8-bit controls and stray bytes are shown as '?', everything else as it was.
TEST_F(CtlTest, OutsideTextInAMessageCannotSteerTheTerminal) {
  const std::string evil =
      "\x1b]0;owned\x07\x1b[31m\x9b"
      "2J\xc2\x9dX\xe3\x83\x86";  // ends with a good character
  const std::string shown = "?]0;owned??[31m?2J?X\xe3\x83\x86";
  // The same text in a backup file, as JSON writes it: escaped, since it holds controls.
  const std::string escaped = "\\u001b]0;owned\\u0007\\u001b[31m\\u009b2J\\u009dX\xe3\x83\x86";
  const std::string in = tmp / "in.json";
  std::string settingName = kBackup;
  settingName.replace(settingName.find("\"speed-dial-2\""), 14, "\"" + escaped + "\"");
  std::string memberName = kBackup;
  memberName.replace(memberName.find("\"device\""), 8, "\"" + escaped + "\"");
  struct Case {
    const char* input;
    std::vector<std::string> args;
    std::string file;  // written to tmp/in.json first when not empty
  };
  const Case cases[] = {
      {"a setting's name in a backup file", {"restore", in}, settingName},
      {"a member's name in a backup file", {"restore", in}, memberName},
      {"a command's name", {evil}, ""},
      {"an option's name", {"get", "--" + evil}, ""},
      {"a setting's name on the command line", {"set", evil + "=1"}, ""},
      {"a port's name", {"get", "--port", "/dev/" + evil}, ""},
      {"a backup file's name", {"restore", tmp / evil}, ""},
      {"a firmware file's name", {"firmware", tmp / (evil + ".dfu")}, ""},
  };
  connect = [](const std::string& port) -> std::unique_ptr<DeviceLink> {
    throw Failure(Exit::NoDevice, Format(Text::CannotOpenPort, {port, "No such file"}));
  };
  for (const auto& c : cases) {
    if (!c.file.empty()) WriteFile(in, c.file);
    EXPECT_NE(Ctl(c.args), 0) << c.args[0];
    EXPECT_TRUE(SafeForATerminal(err)) << c.args[0];
    EXPECT_TRUE(SafeForATerminal(out)) << c.args[0];
    EXPECT_NE((err + out).find(shown), std::string::npos) << c.args[0] << "\n" << err << out;
    testsupport::RecordHostile(
        "Terminal",
        std::string("escape sequences, C1 controls and stray bytes in ") + c.input +
            ", named in a message of qmr7ctl",
        "shown with '?' for each; nothing reaches the terminal as a control");
  }
}

TEST_F(CtlTest, GetShowsEverySetting) {
  headset = sim::Headset(sim::HeadsetState{BackupSettings(), {}});
  EXPECT_EQ(Ctl({"get"}), 0) << err;
  EXPECT_EQ(out,
            "Port:                 /dev/ttyACM0\n"
            "Speed dial 1:         0312\n"
            "Speed dial 2:\n"
            "Speed dial 3:         5551234\n"
            "A2DP music share (%): 45\n"
            "GPS audio share (%):  70\n"
            "GPS audio sharing:    No\n");
  EXPECT_EQ(Ctl({"get", "--json"}), 0) << err;
  EXPECT_EQ(out, R"json({
  "port": "/dev/ttyACM0",
  "settings": {
    "speed-dial-1": "0312",
    "speed-dial-2": "",
    "speed-dial-3": "5551234",
    "a2dp-percentage": 45,
    "gps-percentage": 70,
    "gps-sharing": false
  }
}
)json");
}

TEST_F(CtlTest, MessagesAndLabelsFollowTheLanguage) {
  qmr7ctl::SetLanguage(resources::Language::Japanese);
  EXPECT_EQ(Ctl({"set", "gps-sharing=no"}), 0) << err;
  EXPECT_EQ(err, "保存されました。\n");
  EXPECT_NE(out.find("GPS共有:"), std::string::npos) << out;
  EXPECT_NE(out.find("いいえ"), std::string::npos) << out;
  EXPECT_EQ(Ctl({"set", "gps-sharing=vielleicht"}), 2);
  EXPECT_EQ(err,
            "qmr7ctl: gps-sharing: yes または no を指定してください。\n"
            "「qmr7ctl set --help」を参照してください。\n");
  for (int i = 0; i < static_cast<int>(Text::kCount); ++i) {
    EXPECT_FALSE(JapaneseText(static_cast<Text>(i)).empty()) << i;
    EXPECT_FALSE(EnglishText(static_cast<Text>(i)).empty()) << i;
  }
}

TEST_F(CtlTest, SetSavesTheTouchedPagesWholeAfterReadingTheHeadset) {
  headset = sim::Headset(sim::HeadsetState{BackupSettings(), {}});
  EXPECT_EQ(Ctl({"set", "gps-sharing=yes", "speed-dial-2=110", "--json"}), 0) << err;
  const std::vector<std::string> expected = {
      "AT+FPCMD1=7",      "AT+FPCMD1=8",       "AT+FPCMD1=9",      "AT+FPCMD1=10",
      "AT+FPCMD1=1",      "AT+FPCMD1=2",       "AT+FPCMD1=3",      "AT+FPCMD1=4",
      "AT+FPCMD1=5",      "AT+FPCMD1=21,0312", "AT+FPCMD1=22,110", "AT+FPCMD1=23,5551234",
      "AT+FPCMD1=25,70,1"};
  EXPECT_EQ(commands, expected);
  EXPECT_EQ(err, "Save successfully.\n");
  sim::Settings now = BackupSettings();
  now.speedDials[1] = "110";
  now.gpsSharing = 1;
  EXPECT_EQ(headset.State().settings, now);
  EXPECT_NE(out.find("\"gps-sharing\": true"), std::string::npos) << out;

  // An empty speed dial clears it; 1 and 0 stand for yes and no.
  EXPECT_EQ(Ctl({"set", "speed-dial-1=", "gps-sharing=0", "a2dp-percentage=100"}), 0) << err;
  EXPECT_EQ(headset.State().settings.speedDials[0], "");
  EXPECT_EQ(headset.State().settings.gpsSharing, 0);
  EXPECT_EQ(headset.State().settings.a2dpPercentage, 100);
}

TEST_F(CtlTest, SetRefusesToSendBackAValueTheHeadsetCannotHold) {
  sim::Settings odd = BackupSettings();
  odd.gpsPercentage = 0;  // as a faulty headset might report it
  headset = sim::Headset(sim::HeadsetState{odd, {}});
  EXPECT_EQ(Ctl({"set", "gps-sharing=yes"}), 4);
  EXPECT_EQ(err, "qmr7ctl: The headset reports gps-percentage=0, which it cannot hold.\n");
  EXPECT_EQ(headset.State().settings.gpsSharing, 0);
  // Another page is saved all the same.
  EXPECT_EQ(Ctl({"set", "a2dp-percentage=33"}), 0) << err;
  EXPECT_EQ(headset.State().settings.a2dpPercentage, 33);
  // Nor is such a value kept in a backup.
  EXPECT_EQ(Ctl({"backup", tmp / "odd.json"}), 4);
  EXPECT_FALSE(std::filesystem::exists(tmp / "odd.json"));
}

TEST_F(CtlTest, RestoreDefaultsResetsAndReadsEverythingAgain) {
  headset = sim::Headset(sim::HeadsetState{BackupSettings(), {}});
  EXPECT_EQ(Ctl({"restore-defaults"}), 0) << err;
  EXPECT_EQ(headset.State().settings, sim::Settings{});
  ASSERT_EQ(commands.size(), 19u);
  EXPECT_EQ(commands[9], "AT+FPCMD1=27");
  EXPECT_EQ(commands[10], "AT+FPCMD1=7");
  EXPECT_EQ(commands[18], "AT+FPCMD1=5");
  EXPECT_EQ(err, "To restore default settings.\n");
  EXPECT_NE(out.find("GPS audio sharing:    Yes"), std::string::npos) << out;
}

TEST_F(CtlTest, BackupWritesTheFileWholeAndRestoreSendsItBack) {
  headset = sim::Headset(sim::HeadsetState{BackupSettings(), {}});
  const std::string file = tmp / "qmr7.json";
  EXPECT_EQ(Ctl({"backup", file}), 0) << err;
  EXPECT_EQ(ReadFile(file), kBackup);
  EXPECT_EQ(err, "Settings saved to " + file + ".\n");
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // Refused without --force; replaced with it.
  headset = sim::Headset(sim::HeadsetState{});
  EXPECT_EQ(Ctl({"backup", file}), 2);
  EXPECT_EQ(ReadFile(file), kBackup);
  EXPECT_EQ(Ctl({"backup", "--force", file, "--json"}), 0) << err;
  EXPECT_NE(ReadFile(file).find("\"gps-sharing\": true"), std::string::npos);
  EXPECT_NE(out.find("\"file\": \"" + file + "\""), std::string::npos) << out;

  WriteFile(file, kBackup);
  EXPECT_EQ(Ctl({"restore", file}), 0) << err;
  EXPECT_EQ(headset.State().settings, BackupSettings());
  EXPECT_EQ(err, "Settings restored from " + file + ".\n");

  // Nothing else is left in the folder: no temporary files.
  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(tmp.Path()))
    ++entries;
  EXPECT_EQ(entries, 1);
}

// A backup holds the user's speed dials and the headset's address: whatever the umask lets others
// read, a new backup is its owner's alone.
TEST_F(CtlTest, ABackupIsReadableByItsOwnerAlone) {
  const mode_t before = ::umask(0);
  const std::string file = tmp / "backup.json";
  EXPECT_EQ(Ctl({"backup", file}), 0) << err;
  ::umask(before);
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  testsupport::RecordHostile("Where files are written", "qmr7ctl backup under umask 000",
                             "the new backup is its owner's alone (0600)");
}

TEST_F(CtlTest, BackupCannotWriteSaysWhy) {
  const std::string file = tmp / "no-such-folder/b.json";
  EXPECT_EQ(Ctl({"backup", file}), 1);
  EXPECT_EQ(err, "qmr7ctl: Unable to write to " + file + ": No such file or directory.\n");
  EXPECT_EQ(out, "");
}

TEST_F(CtlTest, FirmwareShowsTheFileAndTheWindowsChecksForTheConnectedModel) {
  using dfu::testing::Header;
  using dfu::testing::WriteFirmware;
  struct Case {
    std::string name;
    std::string description;
    int exit;
    std::string message;
    bool connects;
  };
  const Case cases[] = {
      {"qmr7_124.dfu", "FarPoint QM-R7 firmware", 0,
       "The firmware file passes the checks for QMR7.\n", true},
      {"QMR7_fw.dfu", "FAR POINT", 0, "The firmware file passes the checks for QMR7.\n", true},
      {"QMR7.dfu", "FARPOINT QM-R7 firmware", 6,
       "qmr7ctl: The firmware file selected cannot match with your device model (QMR7).\n", true},
      {"QMR7_124.dfu", "FAR-POINT QM-R7 firmware", 6,
       "qmr7ctl: The firmware file selected cannot work with this headset.\n", false},
  };
  for (const auto& c : cases) {
    const std::string file = WriteFirmware(tmp / c.name, Header(c.description));
    connects = 0;
    EXPECT_EQ(Ctl({"firmware", file}), c.exit) << c.name << err;
    EXPECT_EQ(err, c.message) << c.name;
    EXPECT_EQ(connects, c.connects ? 1 : 0) << c.name;
    EXPECT_NE(out.find("Firmware version:    V1.24"), std::string::npos) << out;
  }

  const std::string file = WriteFirmware(tmp / "QMR7_124.dfu", Header());
  EXPECT_EQ(Ctl({"firmware", file}), 0);
  EXPECT_EQ(out, "File:                " + file +
                     "\n"
                     "Description:         FARPOINT QM-R7 firmware\n"
                     "Firmware version:    V1.24\n"
                     "Firmware name:       QMR7_124.xpv\n"
                     "PSR name:            QMR7_124.psr\n"
                     "Image size (bytes):  3059\n"
                     "USB ids:             1209:7207 ffff\n"
                     "Firmware file check: passed\n"
                     "Product family:      passed\n"
                     "Device model:        passed (QMR7)\n");
  EXPECT_EQ(Ctl({"firmware", "--json", file}), 0);
  EXPECT_EQ(out, "{\n  \"file\": \"" + file + "\"," + R"json(
  "description": "FARPOINT QM-R7 firmware",
  "firmware-version": 124,
  "firmware-name": "QMR7_124.xpv",
  "psr-name": "QMR7_124.psr",
  "image-size": 3059,
  "usb-ids": {
    "vendor": 4617,
    "product": 29191,
    "device": 65535
  },
  "fault": null,
  "port": "/dev/ttyACM0",
  "model": "QMR7",
  "checks": {
    "file": true,
    "product-family": true,
    "model": true
  },
  "passes": true
}
)json");

  // A damaged file: its report, and no port opened.
  std::string bytes = ReadFile(file);
  bytes[40] ^= 1;
  WriteFile(file, bytes);
  connects = 0;
  EXPECT_EQ(Ctl({"firmware", "--json", file}), 6);
  EXPECT_EQ(connects, 0);
  EXPECT_NE(out.find("\"fault\": \"" + std::string(dfu::FileFaultText(dfu::FileFault::Crc)) + "\""),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\"passes\": false"), std::string::npos) << out;
  EXPECT_NE(out.find("\"model\": null"), std::string::npos) << out;
}

TEST_F(CtlTest, DeviceFailuresGiveTheirExitCodes) {
  struct Case {
    const char* faults;
    int exit;
    std::string message;
  };
  const Case cases[] = {
      {"silent", 5, "qmr7ctl: Time out for the device on /dev/ttyACM0 to respond.\n"},
      {"wrong-identity", 4,
       "qmr7ctl: The device on /dev/ttyACM0 is not a QM-R7 headset (identity 89075088).\n"},
      {"unplug-after=2", 3, "qmr7ctl: unplugged\n"},
  };
  for (const auto& c : cases) {
    sim::Faults faults;
    ASSERT_EQ(sim::AddFault(c.faults, faults), "");
    headset = sim::Headset(sim::HeadsetState{BackupSettings(), {}}, faults);
    EXPECT_EQ(Ctl({"set", "a2dp-percentage=99"}), c.exit) << c.faults;
    EXPECT_EQ(err, c.message) << c.faults;
    EXPECT_EQ(out, "") << c.faults;
    EXPECT_EQ(headset.State().settings.a2dpPercentage, 45) << c.faults;
  }
}

TEST_F(CtlTest, HelpForEachCommandAndTheVersion) {
  for (const char* command :
       {"ports", "info", "get", "set", "restore-defaults", "backup", "restore", "firmware"}) {
    EXPECT_EQ(Ctl({command, "--help"}), 0) << command;
    EXPECT_EQ(out.rfind(std::string("Usage: qmr7ctl ") + command, 0), 0u) << out;
    const std::string own = out;
    EXPECT_EQ(Ctl({"help", command}), 0) << command;
    EXPECT_EQ(out, own);
  }
  EXPECT_EQ(Ctl({"--help"}), 0);
  EXPECT_NE(out.find("Exit status: 0 success"), std::string::npos);
  EXPECT_EQ(Ctl({"--version"}), 0);
  EXPECT_EQ(out, std::string("qmr7ctl ") + resources::kFileVersion + "\n");
  EXPECT_EQ(connects, 0);
}

}  // namespace
}  // namespace qmr7ctl::testing
