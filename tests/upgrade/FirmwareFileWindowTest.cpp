// The window's firmware file: choosing it, the engine's and the product-family checks, and the
// model-name match.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/app/MainformTestFixture.h"
#include "tests/support/Hostile.h"
#include "tests/upgrade/FirmwareFiles.h"
#include "toolkit/qt/Text.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace app::testing {
namespace {

using namespace resources;
namespace mb = toolkit::mb;
using dfu::testing::Header;
using dfu::testing::WriteFirmware;

class FirmwareFileTest : public MainformTest {
 protected:
  void SetUp() override {
    MainformTest::SetUp();
    form = MakeForm();
  }

  // Chooses `path` in the dialog and returns the boxes that followed.
  std::vector<toolkit::testing::ShownBox> Choose(const std::optional<std::string>& path) {
    const std::size_t before = ui.boxes.size();
    ui.fileChoices.push_back(path);
    form->OpenDfuFileButtonClick();
    return {ui.boxes.begin() + static_cast<long>(before), ui.boxes.end()};
  }

  std::string Label() const { return toolkit::qt::S(form->DFUFileNameLabel->text()); }

  toolkit::testing::ShownBox Error(TextId text) const {
    return Box(text, kTextCaptionError, mb::kOk | mb::kIconError);
  }

  testsupport::TempDir files;
  std::unique_ptr<TMajorForm> form;
};

struct ChoiceCase {
  const char* name;
  std::string (*make)(const testsupport::TempDir& dir);
  TextId message;            // 0: accepted
  const char* hostile = {};  // for the table of hostile files: the input, as it names it
};

// A file of zeros of `size` bytes but for a valid suffix at its end, taking no room on the disk.
std::string Sparse(const testsupport::TempDir& d, std::uint64_t size) {
  std::string suffix = testsupport::ReadFile(WriteFirmware(d / "QMR7_ok.dfu", Header()));
  suffix = suffix.substr(suffix.size() - dfu::kSuffixSize);
  const std::string path = d / "QMR7_big.dfu";
  testsupport::WriteFile(path, "");
  std::error_code failed;
  std::filesystem::resize_file(path, size - suffix.size(), failed);
  if (!failed) std::ofstream(path, std::ios::binary | std::ios::app) << suffix;
  return path;
}

std::string Firmware(const testsupport::TempDir& d, const std::string& description) {
  return WriteFirmware(d / "QMR7_fw.dfu", Header(description));
}

std::string Broken(const testsupport::TempDir& d, void (*damage)(std::string&)) {
  std::string bytes = testsupport::ReadFile(Firmware(d, "FARPOINT"));
  damage(bytes);
  testsupport::WriteFile(d / "QMR7_fw.dfu", bytes);
  return d / "QMR7_fw.dfu";
}

const ChoiceCase kChoices[] = {
    {"EmptyPath", [](const testsupport::TempDir&) { return std::string(); }, kTextBadFirmwareFile},
    {"MissingFile", [](const testsupport::TempDir& d) { return d / "none.dfu"; },
     kTextBadFirmwareFile},
    {"OverTheSizeLimit",
     [](const testsupport::TempDir& d) { return Sparse(d, dfu::kMaxFileSize + 1); },
     kTextFirmwareTooLarge, "a file of 16 MiB + 1 byte"},
#ifndef _WIN32
    // Windows has neither, and a sparse file there is one only when asked for.
    {"FarOverTheSizeLimit",
     [](const testsupport::TempDir& d) { return Sparse(d, std::uint64_t{64} << 30); },
     kTextFirmwareTooLarge, "a file of 64 GiB (sparse)"},
    {"NamedPipe",
     [](const testsupport::TempDir& d) {
       ::mkfifo((d / "QMR7_pipe.dfu").c_str(), 0600);
       return d / "QMR7_pipe.dfu";
     },
     kTextBadFirmwareFile, "a named pipe no one writes to"},
    {"SymlinkToProcMemory",
     [](const testsupport::TempDir& d) {
       ::symlink("/proc/self/mem", (d / "QMR7_mem.dfu").c_str());
       return d / "QMR7_mem.dfu";
     },
     kTextBadFirmwareFile, "a symlink to /proc/self/mem"},
    {"Device", [](const testsupport::TempDir&) { return std::string("/dev/zero"); },
     kTextBadFirmwareFile, "/dev/zero"},
#endif
    {"Folder",
     [](const testsupport::TempDir& d) {
       std::filesystem::create_directory(d / "QMR7_dir.dfu");
       return d / "QMR7_dir.dfu";
     },
     kTextBadFirmwareFile},
    {"Truncated",
     [](const testsupport::TempDir& d) {
       return Broken(d, [](std::string& b) { b.resize(b.size() - 7); });
     },
     kTextBadFirmwareFile},
    {"BadCrc",
     [](const testsupport::TempDir& d) {
       return Broken(d, [](std::string& b) { b[b.size() - 1] ^= 1; });
     },
     kTextBadFirmwareFile},
    {"BadSignature",
     [](const testsupport::TempDir& d) {
       return Broken(d, [](std::string& b) { b[b.size() - 8] = 'X'; });
     },
     kTextBadFirmwareFile},
    {"WrongDfuVersion",
     [](const testsupport::TempDir& d) {
       return Broken(d, [](std::string& b) { b[b.size() - 9] = 0x02; });
     },
     kTextBadFirmwareFile},
    {"NoHeader",
     [](const testsupport::TempDir& d) {
       return Broken(d, [](std::string& b) {
         b[0] = 'X';  // no magic; the CRC is made right again below
         std::vector<std::uint8_t> image(b.begin(), b.end() - 16);
         dfu::AppendSuffix(image, dfu::testing::Ids());
         b.assign(image.begin(), image.end());
       });
     },
     kTextBadFirmwareFile},
    {"NoMarker", [](const testsupport::TempDir& d) { return Firmware(d, "QM-R7 firmware 1.2"); },
     kTextWrongProductFamily},
    {"MarkerUpperCase", [](const testsupport::TempDir& d) { return Firmware(d, "FARPOINT QM-R7"); },
     0},
    {"MarkerMixedCase", [](const testsupport::TempDir& d) { return Firmware(d, "for FarPoint"); },
     0},
    {"SpacedMarkerLowerCase",
     [](const testsupport::TempDir& d) { return Firmware(d, "by far point inc."); }, 0},
    {"MarkerInsideALongerWord",
     [](const testsupport::TempDir& d) { return Firmware(d, "XFARPOINTER build"); }, 0},
    {"MarkerJoinedByAHyphen",
     [](const testsupport::TempDir& d) { return Firmware(d, "Far-Point"); },
     kTextWrongProductFamily},
};

class ChoiceTest : public FirmwareFileTest, public ::testing::WithParamInterface<ChoiceCase> {};

TEST_P(ChoiceTest, KeepsAcceptedFilesAndForgetsRejectedOnes) {
  const std::string path = GetParam().make(files);
  const auto boxes = Choose(path);
  if (GetParam().message == 0) {
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(form->FirmwareFilePath, path);
    EXPECT_NE(Label(), "");
  } else {
    EXPECT_EQ(boxes, std::vector{Error(GetParam().message)});
    EXPECT_EQ(form->FirmwareFilePath, "");
    EXPECT_EQ(Label(), "");
  }
  if (GetParam().hostile != nullptr) {
    std::string text = LoadText(GetParam().message);
    text = text.substr(0, text.find_last_not_of(' ', text.find('\n') - 1) + 1);
    testsupport::RecordHostile("Firmware file",
                               std::string("the window given ") + GetParam().hostile,
                               "refused with " + std::to_string(GetParam().message) + " \"" + text +
                                   "\", the path forgotten");
  }
}

INSTANTIATE_TEST_SUITE_P(Files, ChoiceTest, ::testing::ValuesIn(kChoices),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(FirmwareFileTest, TheDialogStartsAtTheCurrentFileWithTheFirmwareFilter) {
  const std::string first = Firmware(files, "FARPOINT");
  ASSERT_TRUE(Choose(first).empty());
  Choose(std::nullopt);
  ASSERT_EQ(ui.fileRequests.size(), 2u);
  EXPECT_EQ(ui.fileRequests[0].initialPath, "");
  EXPECT_EQ(ui.fileRequests[1].initialPath, first);
  EXPECT_EQ(ui.fileRequests[1].filter, "firmware file (*.dfu)|*.dfu");
}

TEST_F(FirmwareFileTest, CancellingKeepsThePathAndLabelAndChecksNothing) {
  const std::string path = Firmware(files, "FARPOINT");
  ASSERT_TRUE(Choose(path).empty());
  const std::string label = Label();
  // The file goes bad meanwhile: a check would reject it, and cancelling makes none.
  testsupport::WriteFile(path, "broken");
  EXPECT_TRUE(Choose(std::nullopt).empty());
  EXPECT_EQ(form->FirmwareFilePath, path);
  EXPECT_EQ(Label(), label);
}

TEST_F(FirmwareFileTest, APathTooLongForTheFieldIsRefusedNotCut) {
  // A real, valid file whose path is over 255 characters; cut, it would name another file.
  std::string dir = files.Path();
  while (dir.size() < 260) {
    dir += "/" + std::string(60, 'd');
    ASSERT_TRUE(std::filesystem::create_directory(dir));
  }
  const std::string path = WriteFirmware(dir + "/QMR7_fw.dfu", Header());
  EXPECT_EQ(Choose(path), std::vector{Error(kTextBadFirmwareFile)});
  EXPECT_EQ(form->FirmwareFilePath, "");
  EXPECT_EQ(Label(), "");
}

TEST_F(FirmwareFileTest, ARejectedChoiceForgetsTheEarlierFileToo) {
  ASSERT_TRUE(Choose(Firmware(files, "FARPOINT")).empty());
  EXPECT_EQ(Choose(files / "none.dfu"), std::vector{Error(kTextBadFirmwareFile)});
  EXPECT_EQ(form->FirmwareFilePath, "");
}

TEST_F(FirmwareFileTest, TheButtonOpensTheDialog) {
  form->OpenDfuFileButton->setEnabled(true);
  ui.fileChoices.push_back(std::nullopt);
  form->OpenDfuFileButton->click();
  EXPECT_EQ(ui.fileRequests.size(), 1u);
}

struct ModelCase {
  const char* model;
  const char* path;
  bool matches;
};

#ifdef _WIN32
constexpr bool kBackslashSeparates = true;
#else
constexpr bool kBackslashSeparates = false;
#endif

class ModelMatchTest : public FirmwareFileTest, public ::testing::WithParamInterface<ModelCase> {};

TEST_P(ModelMatchTest, ComparesTheFileNameWithTheModel) {
  form->DeviceModelName = GetParam().model;
  form->FirmwareFilePath = GetParam().path;
  EXPECT_EQ(form->FirmwareMatchesModel(), GetParam().matches)
      << GetParam().model << " / " << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(
    Names, ModelMatchTest,
    ::testing::Values(ModelCase{"QMR7", "/fw/QMR7_124.dfu", true},
                      ModelCase{"QMR7", "/fw/qmr7_124.dfu", true},  // any ASCII case
                      ModelCase{"qmr7", "/fw/QMR7_124.dfu", true},
                      ModelCase{"QMR7", "/fw/QMR7124.dfu", false},    // no underscore
                      ModelCase{"QMR7", "/fw/QMR7.dfu", false},       // straight to the extension
                      ModelCase{"QMR7", "/fw/QMR7_/new.dfu", false},  // only the name counts
                      ModelCase{"QMR7", "/QMR7_x/fw/QMR7_1.dfu", true},
                      ModelCase{"QMR7", "QMR7_1.dfu", true},     // no folder at all
                      ModelCase{"QMR7", "/fw/QMR", false},       // shorter than the prefix
                      ModelCase{"", "/fw/_anything.dfu", true},  // empty model: "_" only
                      ModelCase{"", "/fw/QMR7_1.dfu", false},
                      // A backslash separates folders on Windows; elsewhere it is part of a name.
                      ModelCase{"QMR7", "C:\\fw\\QMR7_1.dfu", kBackslashSeparates},
                      ModelCase{"QMR7", "C:\\fw\\x_QMR7_1.dfu", false}));

}  // namespace
}  // namespace app::testing
