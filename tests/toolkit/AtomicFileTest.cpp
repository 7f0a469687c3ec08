#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"
#include "toolkit/AtomicFile.h"

namespace toolkit {
namespace {

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  while (const dirent* entry = dir != nullptr ? ::readdir(dir) : nullptr) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  if (dir != nullptr) ::closedir(dir);
  return names;
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

TEST(AtomicFileTest, ReplacesTheContentAndLeavesNothingBehind) {
  TempDir dir;
  const std::string path = dir / "QMR7-TOOL.INI";
  WriteFile(path, "[Setting]\nDFU_FileName=old.dfu\n");
  EXPECT_FALSE(WriteFileAtomically(path, "[Setting]\nDFU_FileName=new.dfu\n"));
  EXPECT_EQ(ReadFile(path), "[Setting]\nDFU_FileName=new.dfu\n");
  EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"QMR7-TOOL.INI"});
}

TEST(AtomicFileTest, KeepsTheModeOfTheFileItReplacesAndGivesANewFileTheOneAskedFor) {
  TempDir dir;
  const std::string kept = dir / "kept";
  WriteFile(kept, "x");
  ASSERT_EQ(::chmod(kept.c_str(), 0640), 0);
  ASSERT_FALSE(WriteFileAtomically(kept, "y", 0600));
  EXPECT_EQ(ModeOf(kept), 0640u);

  const std::string fresh = dir / "fresh";
  ASSERT_FALSE(WriteFileAtomically(fresh, "z", 0600));
  EXPECT_EQ(ModeOf(fresh), 0600u);
  EXPECT_EQ(ReadFile(fresh), "z");
}

// Tests run as root here, which passes permission checks; a parent that is a regular file fails
// for everyone.
TEST(AtomicFileTest, AFailureNamesTheStepAndTheSystemsCode) {
  TempDir dir;
  WriteFile(dir / "plain", "not a folder");
  const Error e = WriteFileAtomically(dir / "plain/settings.ini", "data");
  EXPECT_EQ(e.kind, ErrorKind::OsFailure);
  EXPECT_EQ(e.code, ENOTDIR);
  EXPECT_EQ(e.text, "Not a directory");
  EXPECT_EQ(e.op.rfind("create " + dir.Path() + "/plain/.settings.ini.", 0), 0u) << e.op;
  EXPECT_EQ(ReadFile(dir / "plain"), "not a folder");
}

TEST(AtomicFileTest, AFailedRenameRemovesTheTemporaryFileAndKeepsTheOldOne) {
  TempDir dir;
  // A folder in the way: the rename of a file over it fails with EISDIR.
  ASSERT_EQ(::mkdir((dir / "target").c_str(), 0700), 0);
  WriteFile(dir / "target/inside", "old");
  const Error e = WriteFileAtomically(dir / "target", "new");
  EXPECT_EQ(e.code, EISDIR);
  EXPECT_EQ(e.op.rfind("rename ", 0), 0u) << e.op;
  EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"target"});
  EXPECT_EQ(ReadFile(dir / "target/inside"), "old");
}

TEST(AtomicFileTest, KeepingAnExistingFileRefusesToReplaceItAndLeavesNothingBehind) {
  TempDir dir;
  const std::string path = dir / "backup.json";
  ASSERT_FALSE(WriteFileAtomically(path, "first", 0644, Existing::Keep));
  EXPECT_EQ(ReadFile(path), "first");

  const Error e = WriteFileAtomically(path, "second", 0644, Existing::Keep);
  EXPECT_EQ(e.code, EEXIST);
  EXPECT_EQ(e.op.rfind("link ", 0), 0u) << e.op;
  EXPECT_EQ(ReadFile(path), "first");
  EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"backup.json"});
}

}  // namespace
}  // namespace toolkit
