// The atomic file writer on Windows: MoveFileEx with write-through puts the finished file in place.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"
#include "toolkit/AtomicFile.h"
#include "toolkit/backend/win32/SystemError.h"

namespace toolkit {
namespace {

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

constexpr int kPathNotFound = 3;  // ERROR_PATH_NOT_FOUND

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(AtomicFileTest, ReplacesTheContentAndLeavesNothingBehind) {
  TempDir dir;
  const std::string path = dir / "QMR7-TOOL.INI";
  WriteFile(path, "[Setting]\r\nDFU_FileName=old.dfu\r\n");
  EXPECT_FALSE(WriteFileAtomically(path, "[Setting]\r\nDFU_FileName=new.dfu\r\n"));
  EXPECT_EQ(ReadFile(path), "[Setting]\r\nDFU_FileName=new.dfu\r\n");
  EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"QMR7-TOOL.INI"});
}

TEST(AtomicFileTest, APathWithBackslashesWritesInItsOwnFolder) {
  TempDir dir;
  std::filesystem::create_directory(dir / "FPBFU");
  std::string path = dir.Path() + "\\FPBFU\\QMR7-TOOL.INI";
  ASSERT_FALSE(WriteFileAtomically(path, "x"));
  EXPECT_EQ(ReadFile(dir / "FPBFU/QMR7-TOOL.INI"), "x");
  EXPECT_EQ(Names(dir / "FPBFU"), std::vector<std::string>{"QMR7-TOOL.INI"});
}

TEST(AtomicFileTest, AFailureNamesTheStepAndTheSystemsCodeAndText) {
  TempDir dir;
  WriteFile(dir / "plain", "not a folder");
  const Error e = WriteFileAtomically(dir / "plain/settings.ini", "x");
  EXPECT_EQ(e.kind, ErrorKind::OsFailure);
  EXPECT_EQ(e.code, kPathNotFound);
  EXPECT_EQ(e.text, win32::SystemErrorText(kPathNotFound));
  EXPECT_EQ(e.op.rfind("create " + dir.Path() + "/plain/.settings.ini.", 0), 0u) << e.op;
  EXPECT_EQ(ReadFile(dir / "plain"), "not a folder");
}

TEST(AtomicFileTest, AFailedMoveRemovesTheTemporaryFileAndKeepsWhatWasThere) {
  TempDir dir;
  // A folder in the way: a file cannot replace it.
  std::filesystem::create_directory(dir / "target");
  WriteFile(dir / "target/inside", "old");
  const Error e = WriteFileAtomically(dir / "target", "new");
  EXPECT_EQ(e.kind, ErrorKind::OsFailure);
  EXPECT_NE(e.code, 0);
  EXPECT_EQ(e.op.rfind("rename ", 0), 0u) << e.op;
  EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"target"});
  EXPECT_EQ(ReadFile(dir / "target/inside"), "old");
}

TEST(AtomicFileTest, KeepingAnExistingFileFailsWithEexistAndLeavesNothingBehind) {
  TempDir dir;
  const std::string path = dir / "backup.json";
  WriteFile(path, "first");
  const Error e = WriteFileAtomically(path, "second", 0644, Existing::Keep);
  EXPECT_EQ(e.code, EEXIST);
  EXPECT_EQ(e.op.rfind("link ", 0), 0u) << e.op;
  EXPECT_EQ(ReadFile(path), "first");
  EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"backup.json"});

  const std::string fresh = dir / "fresh.json";
  ASSERT_FALSE(WriteFileAtomically(fresh, "new", 0644, Existing::Keep));
  EXPECT_EQ(ReadFile(fresh), "new");
}

}  // namespace
}  // namespace toolkit
