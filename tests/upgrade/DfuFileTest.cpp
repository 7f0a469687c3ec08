// Firmware files: the suffix and CRC as other DFU tools write them, our header, and mkdfu.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "tests/upgrade/FirmwareFiles.h"
#include "upgrade/DFUEngine.h"

namespace dfu {
namespace {

using testing::Body;
using testing::Header;
using testing::Ids;
using testing::Text;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

// Recomputes the CRC after a test changed a file's bytes on purpose.
std::string Resealed(std::string file) {
  const std::uint32_t crc =
      DfuCrc({reinterpret_cast<const std::uint8_t*>(file.data()), file.size() - 4});
  for (int i = 0; i < 4; ++i)
    file[file.size() - 4 + i] = static_cast<char>(crc >> (8 * i));
  return file;
}

struct FileCase {
  const char* name;
  std::string (*make)(const TempDir& dir);  // returns the path to check
  FileFault fault;
};

std::string Valid() {
  return Text(BuildFile(Header(), Body(3000), Ids()));
}

const FileCase kFileCases[] = {
    {"EmptyPath", [](const TempDir&) { return std::string(); }, FileFault::Open},
    {"MissingFile", [](const TempDir& d) { return d / "missing.dfu"; }, FileFault::Open},
    {"Folder",
     [](const TempDir& d) {
       ::mkdir((d / "folder.dfu").c_str(), 0700);
       return d / "folder.dfu";
     },
     FileFault::Open},
    {"NamedPipe",
     [](const TempDir& d) {
       ::mkfifo((d / "pipe.dfu").c_str(), 0600);
       return d / "pipe.dfu";
     },
     FileFault::Open},
    {"Device", [](const TempDir&) { return std::string("/dev/zero"); }, FileFault::Open},
    {"SmallerThanASuffix",
     [](const TempDir& d) {
       WriteFile(d / "f.dfu", "UFD");
       return d / "f.dfu";
     },
     FileFault::Short},
    {"Truncated",
     [](const TempDir& d) {
       WriteFile(d / "f.dfu", Valid().substr(0, 2000));
       return d / "f.dfu";
     },
     FileFault::Suffix},
    {"BadCrc",
     [](const TempDir& d) {
       std::string f = Valid();
       f[100] ^= 1;
       WriteFile(d / "f.dfu", f);
       return d / "f.dfu";
     },
     FileFault::Crc},
    {"BadSignature",
     [](const TempDir& d) {
       std::string f = Valid();
       f[f.size() - 6] = 'X';  // "UFX"
       WriteFile(d / "f.dfu", Resealed(f));
       return d / "f.dfu";
     },
     FileFault::Suffix},
    {"WrongDfuVersion",
     [](const TempDir& d) {
       std::string f = Valid();
       f[f.size() - 9] = 0x01;  // bcdDFU 0x0110
       f[f.size() - 10] = 0x10;
       WriteFile(d / "f.dfu", Resealed(f));
       return d / "f.dfu";
     },
     FileFault::Suffix},
    {"SuffixLongerThanTheFile",
     [](const TempDir& d) {
       std::vector<std::uint8_t> tiny{1, 2, 3};
       AppendSuffix(tiny, Ids());
       std::string t = Text(tiny);
       t[t.size() - 5] = static_cast<char>(200);
       WriteFile(d / "f.dfu", Resealed(t));
       return d / "f.dfu";
     },
     FileFault::Short},
    {"NoHeader",
     [](const TempDir& d) {
       std::vector<std::uint8_t> image = Body(3000);
       AppendSuffix(image, Ids());
       WriteFile(d / "f.dfu", Text(image));
       return d / "f.dfu";
     },
     FileFault::Header},
    {"HeaderNamesPastTheImage",
     [](const TempDir& d) {
       std::vector<std::uint8_t> image{'Q', 'M', 'R', '7', 1, 0, 200, 200, 0, 0, 0, 0, 'x'};
       AppendSuffix(image, Ids());
       WriteFile(d / "f.dfu", Text(image));
       return d / "f.dfu";
     },
     FileFault::Header},
    {"Valid",
     [](const TempDir& d) {
       WriteFile(d / "f.dfu", Valid());
       return d / "f.dfu";
     },
     FileFault::None},
};

class FileCheck : public ::testing::TestWithParam<FileCase> {};

TEST_P(FileCheck, FindsTheFirstFault) {
  TempDir dir;
  const std::string path = GetParam().make(dir);
  FileInfo info;
  EXPECT_EQ(CheckFile(path, info), GetParam().fault) << FileFaultText(CheckFile(path, info));

  // The engine's answer agrees, and its description buffer is never left holding garbage.
  const DFUEngineHandle engine = DFUEngine_Create();
  char description[DFUENGINE_DESCRIPTION_SIZE];
  std::memset(description, '#', sizeof description);
  std::uint32_t version = 0, ids = 0, size = 0;
  const bool valid =
      DFUEngine_IsDFUFileValid(engine, path.c_str(), description, &version, &ids, &size) != 0;
  EXPECT_EQ(valid, GetParam().fault == FileFault::None);
  if (valid) {
    EXPECT_STREQ(description, "FARPOINT QM-R7 firmware");
    EXPECT_EQ(version, 124u);
    EXPECT_EQ(ids, 0x12097207u);
  } else {
    EXPECT_STREQ(description, "");
  }
  DFUEngine_Destroy(engine);
}

INSTANTIATE_TEST_SUITE_P(Files, FileCheck, ::testing::ValuesIn(kFileCases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(FileFormat, HeaderRoundTripsWithTheLongestTexts) {
  ImageHeader header = Header(std::string(255, 'd'));
  header.firmwareName = std::string(59, 'f');
  header.psrName = std::string(59, 'p');
  ASSERT_EQ(HeaderProblem(header), "");
  const auto file = BuildFile(header, Body(10), Ids());
  Suffix suffix;
  std::size_t imageSize = 0;
  ASSERT_EQ(ParseSuffix(file, suffix, imageSize), FileFault::None);
  EXPECT_EQ(imageSize, header.Size() + 10);
  ImageHeader back;
  ASSERT_EQ(ParseHeader({file.data(), imageSize}, back), FileFault::None);
  EXPECT_EQ(back.description, header.description);
  EXPECT_EQ(back.firmwareName, header.firmwareName);
  EXPECT_EQ(back.psrName, header.psrName);
}

TEST(FileFormat, HeadersThatCannotBeWrittenAreNamed) {
  const auto with = [](auto change) {
    ImageHeader h = Header();
    change(h);
    return HeaderProblem(h);
  };
  EXPECT_NE(with([](ImageHeader& h) { h.description = std::string(256, 'd'); }), "");
  EXPECT_NE(with([](ImageHeader& h) { h.description = "two\nlines"; }), "");
  EXPECT_NE(with([](ImageHeader& h) { h.firmwareName.clear(); }), "");
  EXPECT_NE(with([](ImageHeader& h) { h.psrName = "a b.psr"; }), "");
  EXPECT_NE(with([](ImageHeader& h) {
              h.firmwareName = std::string(60, 'f');
              h.psrName = std::string(59, 'p');
            }),
            "");
}

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
