// The configuration dialogs with a scripted dialog, over a defaults file in a temporary folder and
// a pseudo-terminal as the port.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "PtyFixture.h"
#include "ScriptedComDialogs.h"
#include "comport/ComConfigDialog.h"
#include "comport/backend/posix/PortDefaultsFile.h"
#include "tests/support/Hostile.h"
#include "tests/support/TempDir.h"

namespace comport::testing {
namespace {

TEST(DefaultsLineTest, ALineKeepsEveryFieldTheDialogShows) {
  struct Case {
    const char* what;
    std::uint32_t rate;
    std::uint8_t bits, parity, stop;
    std::uint32_t flags;
  };
  const Case cases[] = {
      {"built-in", 9600, 8, 0, 0, dcb::fBinary | dcb::DtrEnable | dcb::RtsEnable},
      {"rts/cts", 115200, 8, 0, 0,
       dcb::fBinary | dcb::DtrEnable | dcb::RtsHandshake | dcb::fOutxCtsFlow},
      {"xon/xoff, 7E2", 300, 7, 2, 2,
       dcb::fBinary | dcb::DtrDisable | dcb::RtsDisable | dcb::fInX | dcb::fOutX},
      {"odd rate, mark, 1.5", 250000, 5, 3, 1,
       dcb::fBinary | dcb::DtrHandshake | dcb::RtsToggle | dcb::fOutxDsrFlow |
           dcb::fDsrSensitivity},
      {"space, 9 bits", 1200, 9, 4, 0, dcb::fBinary | dcb::DtrEnable | dcb::RtsEnable | dcb::fInX},
  };
  for (const Case& c : cases) {
    TDcb in = BuiltInDefaultDcb();
    in.BaudRate = c.rate;
    in.ByteSize = c.bits;
    in.Parity = c.parity;
    in.StopBits = c.stop;
    in.Flags = c.flags;
    std::string name;
    TDcb out;
    ASSERT_TRUE(ParseDefaultsLine(FormatDefaultsLine("/dev/ttyS3", in), name, out)) << c.what;
    EXPECT_EQ(name, "/dev/ttyS3") << c.what;
    EXPECT_EQ(out, in) << c.what << ": " << FormatDefaultsLine("/dev/ttyS3", in);
  }
}

TEST(DefaultsLineTest, WhatALineLacksOrGetsWrongKeepsTheBuiltInDefault) {
  const TDcb defaults = BuiltInDefaultDcb();
  struct Case {
    const char* line;
    std::uint32_t rate;
    std::uint8_t bits;
  };
  const Case cases[] = {
      {"/dev/ttyS0", 9600, 8},
      {"/dev/ttyS0 baud=fast data=12", 9600, 8},
      {"/dev/ttyS0 baud=0 data=3", 9600, 8},
      {"/dev/ttyS0 baud=19200x data=", 9600, 8},
      {"/dev/ttyS0   baud=19200\tcolour=blue data=6", 19200, 6},
  };
  for (const Case& c : cases) {
    std::string name;
    TDcb dcb;
    ASSERT_TRUE(ParseDefaultsLine(c.line, name, dcb)) << c.line;
    EXPECT_EQ(dcb.BaudRate, c.rate) << c.line;
    EXPECT_EQ(dcb.ByteSize, c.bits) << c.line;
    EXPECT_EQ(dcb.Flags, defaults.Flags) << c.line;
  }
  std::string name;
  TDcb dcb;
  EXPECT_FALSE(ParseDefaultsLine("# /dev/ttyS0 baud=50", name, dcb));
  EXPECT_FALSE(ParseDefaultsLine("   ", name, dcb));
}

class ConfigDialogTest : public PortTest {
 protected:
  ConfigDialogTest() {
    TComServices services;
    services.dialogs = &dialogs_;
    services.defaultsFile = defaultsFile_;
    port_->SetServices(services);
  }

  // The port's default line, as a user or an earlier dialog left it.
  void WriteDefaults(const std::string& text) { testsupport::WriteFile(defaultsFile_, text); }

  // Runs `call`, which must raise EComError, and returns its code.
  template <typename F>
  int ErrorCodeOf(F call) {
    try {
      call();
    } catch (const EComError& e) {
      if (e.ErrorCode != 0) {
        EXPECT_EQ(e.Message(), SystemErrorText(e.ErrorCode));
      }
      return e.ErrorCode;
    }
    ADD_FAILURE() << "nothing raised";
    return -1;
  }

  testsupport::TempDir dir_;
  const std::string defaultsFile_ = dir_ / "config/comport/port-defaults";
  ScriptedComDialogs dialogs_;
};

TEST_F(ConfigDialogTest, TheDialogOpensOnTheDefaultsOverlaidByTheComponentsOwnSettings) {
  std::filesystem::create_directories(dir_ / "config/comport");
  WriteDefaults("# ports\n/dev/ttyS0 baud=50\n" + pty_.SlaveName() +
                " baud=2400 data=7 parity=e stop=2 xin=on xout=on\n");
  port_->SetBaudRate(br115200);
  EXPECT_FALSE(port_->ConfigDialog());
  ASSERT_EQ(dialogs_.shown.size(), 1U);
  const TDcb& shown = dialogs_.shown[0].dcb;
  EXPECT_EQ(dialogs_.shown[0].name, pty_.SlaveName());
  EXPECT_EQ(shown.BaudRate, 115200U);  // the component's
  EXPECT_EQ(shown.ByteSize, 7);        // the defaults' (the component leaves it to the driver)
  EXPECT_EQ(shown.Parity, 2);
  EXPECT_EQ(shown.StopBits, 2);
  EXPECT_EQ(shown.Flags & (dcb::fInX | dcb::fOutX), dcb::fInX | dcb::fOutX);
}

TEST_F(ConfigDialogTest, CancelledChangesNothing) {
  port_->SetBaudRate(br9600);
  dialogs_.answers.push_back([](TDcb& dcb) {
    dcb.BaudRate = 300;
    dcb.ByteSize = 5;
    return false;
  });
  EXPECT_FALSE(port_->ConfigDialog());
  EXPECT_EQ(port_->BaudRate(), br9600);
  EXPECT_EQ(port_->DataBits(), dbDefault);
  EXPECT_FALSE(std::filesystem::exists(defaultsFile_));
}

TEST_F(ConfigDialogTest, ConfirmedOnAClosedPortChangesTheSettingsWithoutTouchingTheDevice) {
  const std::uint32_t speedBefore = OutputSpeed(pty_.Observer());
  dialogs_.answers.push_back([](TDcb& dcb) {
    dcb.BaudRate = 19200;
    dcb.ByteSize = 7;
    dcb.Parity = 2;
    dcb.StopBits = 2;
    return true;
  });
  EXPECT_TRUE(port_->ConfigDialog());
  EXPECT_EQ(port_->BaudRate(), brCustom);
  EXPECT_EQ(port_->CustomBaudRate(), 19200);
  EXPECT_EQ(port_->DataBits(), db7);
  EXPECT_EQ(port_->Parity(), paEven);
  EXPECT_EQ(port_->StopBits(), sb2);
  EXPECT_FALSE(port_->Active());
  EXPECT_EQ(OutputSpeed(pty_.Observer()), speedBefore);
}

TEST_F(ConfigDialogTest, ConfirmedOnAnOpenPortAppliesAtOnce) {
  port_->Open();
  dialogs_.answers.push_back([](TDcb& dcb) {
    dcb.BaudRate = 57600;
    return true;
  });
  EXPECT_TRUE(port_->ConfigDialog());
  EXPECT_EQ(OutputSpeed(pty_.Observer()), 57600U);
  EXPECT_EQ(port_->CustomBaudRate(), 57600);
}

TEST_F(ConfigDialogTest, TheDefaultDialogWritesThePortsLineAndKeepsEverythingElse) {
  std::filesystem::create_directories(dir_ / "config/comport");
  WriteDefaults("# kept\n\n/dev/ttyS0 baud=50\n" + pty_.SlaveName() + " baud=1200\n");
  port_->SetBaudRate(br115200);
  dialogs_.answers.push_back([](TDcb& dcb) {
    EXPECT_EQ(dcb.BaudRate, 1200U);  // the defaults, not the component's settings
    dcb.BaudRate = 38400;
    dcb.Flags |= dcb::fOutxCtsFlow;
    return true;
  });
  EXPECT_TRUE(port_->DefaultConfigDialog());
  EXPECT_EQ(port_->BaudRate(), br115200);

  TDcb expected = BuiltInDefaultDcb();
  expected.BaudRate = 38400;
  expected.Flags |= dcb::fOutxCtsFlow;
  EXPECT_EQ(
      testsupport::ReadFile(defaultsFile_),
      "# kept\n\n/dev/ttyS0 baud=50\n" + FormatDefaultsLine(pty_.SlaveName(), expected) + "\n");

  TCommConfig config;
  config.dwSize = kCommConfigSize;
  ASSERT_FALSE(GetDefaultCommConfig(pty_.SlaveName(), config, defaultsFile_));
  EXPECT_EQ(config.dcb, expected);
}

TEST_F(ConfigDialogTest, TheDefaultDialogCreatesTheFileAndItsFolder) {
  dialogs_.answers.push_back([](TDcb&) { return true; });
  EXPECT_TRUE(port_->DefaultConfigDialog());
  EXPECT_EQ(testsupport::ReadFile(defaultsFile_),
            FormatDefaultsLine(pty_.SlaveName(), BuiltInDefaultDcb()) + "\n");
  // Cancelled: the file stays as it is.
  EXPECT_FALSE(port_->DefaultConfigDialog());
  EXPECT_EQ(testsupport::ReadFile(defaultsFile_),
            FormatDefaultsLine(pty_.SlaveName(), BuiltInDefaultDcb()) + "\n");
}

TEST_F(ConfigDialogTest, DefaultsThatCannotBeReadOrWrittenRaiseTheSystemsError) {
  // A folder where the file should be: reading fails.
  std::filesystem::create_directories(defaultsFile_);
  EXPECT_EQ(ErrorCodeOf([&] { port_->ConfigDialog(); }), EISDIR);
  EXPECT_EQ(ErrorCodeOf([&] { port_->DefaultConfigDialog(); }), EISDIR);
  EXPECT_TRUE(dialogs_.shown.empty());

  // A name that can be read (there is no such file) but leaves no room for the temporary name
  // of the atomic write: writing fails, after the user confirmed.
  TComServices services = port_->Services();
  services.defaultsFile = dir_ / std::string(250, 'd');
  port_->SetServices(services);
  dialogs_.answers.push_back([](TDcb&) { return true; });
  EXPECT_EQ(ErrorCodeOf([&] { port_->DefaultConfigDialog(); }), ENAMETOOLONG);
  EXPECT_EQ(dialogs_.shown.size(), 1U);
}

// What may stand where the defaults file should be: the dialogs fail at once with the reason, and
// nothing is read into memory or replaced.
TEST_F(ConfigDialogTest, HostileDefaultsFilesFailAtOnce) {
  struct Case {
    const char* input;
    int code;
    void (*make)(const std::string& path);
  };
  const Case cases[] = {
      {"a named pipe no one writes to", EINVAL,
       [](const std::string& path) { ::mkfifo(path.c_str(), 0600); }},
      {"a symlink to /dev/zero (endless zeros)", EINVAL,
       [](const std::string& path) { ::symlink("/dev/zero", path.c_str()); }},
      {"a file of 1 MiB + 1 byte", EFBIG,
       [](const std::string& path) {
         testsupport::WriteFile(path, std::string((std::size_t{1} << 20) + 1, '#'));
       }},
  };
  std::filesystem::create_directories(dir_ / "config/comport");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    std::filesystem::remove(defaultsFile_);
    c.make(defaultsFile_);
    struct stat before {};
    ASSERT_EQ(::lstat(defaultsFile_.c_str(), &before), 0);
    const std::string name = pty_.SlaveName();
    const std::string file = defaultsFile_;
    const auto code = testsupport::WithinBound([name, file] {
      TCommConfig config;
      config.dwSize = kCommConfigSize;
      return GetDefaultCommConfig(name, config, file).code;
    });
    ASSERT_TRUE(code) << "reading blocked";
    EXPECT_EQ(*code, c.code);
    EXPECT_EQ(ErrorCodeOf([&] { port_->DefaultConfigDialog(); }), c.code);
    struct stat after {};
    ASSERT_EQ(::lstat(defaultsFile_.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    testsupport::RecordHostile("Port defaults file", c.input,
                               "the port dialogs fail at once with the reason; the file is left as "
                               "it was");
  }
  EXPECT_TRUE(dialogs_.shown.empty());
}

TEST_F(ConfigDialogTest, APortThatIsNotThereRaisesBeforeAnyDialog) {
  port_->SetDeviceName(dir_ / "ttyNothing");
  EXPECT_EQ(ErrorCodeOf([&] { port_->ConfigDialog(); }), ENOENT);
  port_->SetDeviceName(defaultsFile_.substr(0, defaultsFile_.find("/config")));  // a folder
  EXPECT_EQ(ErrorCodeOf([&] { port_->DefaultConfigDialog(); }), ENOTTY);
  EXPECT_TRUE(dialogs_.shown.empty());
}

TEST_F(ConfigDialogTest, TheShortNameIsTheDialogsName) {
  port_->SetDeviceName("\\\\.\\" + pty_.SlaveName());
  EXPECT_FALSE(port_->ConfigDialog());
  ASSERT_EQ(dialogs_.shown.size(), 1U);
  EXPECT_EQ(dialogs_.shown[0].name, pty_.SlaveName());
}

TEST_F(ConfigDialogTest, ARecordTooSmallIsRefused) {
  TCommConfig config;
  config.dwSize = kCommConfigSize - 1;
  EXPECT_EQ(GetDefaultCommConfig(pty_.SlaveName(), config, defaultsFile_).code, EINVAL);
  EXPECT_EQ(SetDefaultCommConfig(pty_.SlaveName(), config, defaultsFile_).code, EINVAL);
}

TEST(ConfigDialogNoServiceTest, WithoutADialogTheComponentSaysSo) {
  toolkit::DispatchQueue ui;
  TComPort port(nullptr, ui);
  try {
    port.ConfigDialog();
    FAIL() << "showed a dialog";
  } catch (const EComError& e) {
    EXPECT_EQ(e.ErrorCode, 0);
    EXPECT_EQ(e.Message(), "Can't show a configuration dialog");
  }
  EXPECT_THROW(port.DefaultConfigDialog(), EComError);
}

}  // namespace
}  // namespace comport::testing
