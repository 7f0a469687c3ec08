// Firmware files: the suffix and CRC as other DFU tools write them, and our header. The special
// files of each system are in DfuFilePosixTest.cpp and DfuFileWin32Test.cpp, mkdfu in
// MkdfuTest.cpp.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

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
       std::filesystem::create_directory(d / "folder.dfu");
       return d / "folder.dfu";
     },
     FileFault::Open},
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
    // Paths are UTF-8 everywhere, also where the system's own are UTF-16.
    {"ValidWithANameBeyondAscii",
     [](const TempDir& d) {
       const std::string path = d / "\xE3\x83\x95\xE3\x82\xA1\xE3\x83\xBC\xE3\x83\xA0.dfu";
       std::ofstream(std::filesystem::path(std::u8string(path.begin(), path.end())),
                     std::ios::binary)
           << Valid();
       return path;
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

}  // namespace
}  // namespace dfu
