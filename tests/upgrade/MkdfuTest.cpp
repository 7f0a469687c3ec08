// mkdfu as a program, and interoperation with dfu-util's suffix tool: both run through the shell.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "tests/upgrade/FirmwareFiles.h"

namespace dfu {
namespace {

using testing::Body;
using testing::Header;
using testing::Ids;
using testing::Text;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

// --- Interoperation with dfu-util's suffix tool, and mkdfu --------------------------------------

class DfuSuffixTool : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v dfu-suffix >/dev/null 2>&1") != 0) {
      GTEST_SKIP() << "dfu-suffix (Debian package dfu-util) is not installed";
    }
  }
  static int Run(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  TempDir dir;
};

TEST_F(DfuSuffixTool, AcceptsWhatMkdfuWrites) {
  WriteFile(dir / "body.bin", Text(Body(5000)));
  ASSERT_EQ(Run(std::string(QMR7_MKDFU) + " create --image " + (dir / "body.bin") + " --output " +
                (dir / "fw.dfu") +
                " --version 130 --fw QMR7_130.xpv --psr QMR7_130.psr --description 'FARPOINT "
                "QM-R7' --vid 0x1209 --pid 0x7207"),
            0);
  EXPECT_EQ(Run("dfu-suffix -c " + (dir / "fw.dfu")), 0);
  EXPECT_EQ(Run(std::string(QMR7_MKDFU) + " info " + (dir / "fw.dfu")), 0);
  FileInfo info;
  ASSERT_EQ(CheckFile(dir / "fw.dfu", info), FileFault::None);
  EXPECT_EQ(info.header.firmwareVersion, 130u);
  EXPECT_EQ(info.suffix.idVendor, 0x1209);
  EXPECT_EQ(info.suffix.idProduct, 0x7207);
  EXPECT_EQ(info.suffix.bcdDevice, 0xFFFF);

  // And it rejects what we reject.
  std::string bad = ReadFile(dir / "fw.dfu");
  bad[40] ^= 0x55;
  WriteFile(dir / "bad.dfu", bad);
  EXPECT_NE(Run("dfu-suffix -c " + (dir / "bad.dfu")), 0);
}

TEST_F(DfuSuffixTool, ItsSuffixPassesOurCheck) {
  // Our header and body, then dfu-suffix adds the suffix and computes the CRC.
  const auto built = BuildFile(Header(), Body(4000), Ids());
  WriteFile(dir / "fw.dfu", Text(built).substr(0, built.size() - kSuffixSize));
  ASSERT_EQ(Run("dfu-suffix -a " + (dir / "fw.dfu") + " -v 0x1209 -p 0x7207 -d 0x0100"), 0);
  FileInfo info;
  ASSERT_EQ(CheckFile(dir / "fw.dfu", info), FileFault::None);
  EXPECT_EQ(info.suffix.bcdDevice, 0x0100);
  EXPECT_EQ(info.header.description, "FARPOINT QM-R7 firmware");

  // A plain image with its suffix: the suffix passes, only our header is missing.
  WriteFile(dir / "raw.bin", Text(Body(700)));
  ASSERT_EQ(Run("dfu-suffix -a " + (dir / "raw.bin")), 0);
  EXPECT_EQ(CheckFile(dir / "raw.bin", info), FileFault::Header);
}

TEST(Mkdfu, RefusesWhatWouldMakeABadFile) {
  TempDir dir;
  WriteFile(dir / "body.bin", "x");
  const std::string base = std::string(QMR7_MKDFU) + " create --image " + (dir / "body.bin") +
                           " --output " + (dir / "o.dfu") + " --version 1 --psr P.psr";
  EXPECT_EQ(WEXITSTATUS(std::system((base + " >/dev/null 2>&1").c_str())), 2);  // no --fw
  EXPECT_EQ(WEXITSTATUS(std::system((base + " --fw 'A B' >/dev/null 2>&1").c_str())), 2);
  EXPECT_EQ(WEXITSTATUS(std::system((base + " --fw F --vid 0x10000 >/dev/null 2>&1").c_str())), 2);
  EXPECT_FALSE(std::filesystem::exists(dir / "o.dfu"));
}

}  // namespace
}  // namespace dfu
