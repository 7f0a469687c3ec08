#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
  std::sort(names.begin(), names.end());
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

// A new file gets the mode asked for less the umask, as open() would give it; a replaced file
// keeps its own whatever the umask.
TEST(AtomicFileTest, ANewFileHonoursTheUmask) {
  struct Case {
    mode_t umask;
    unsigned asked;
    mode_t expected;
  };
  constexpr Case kCases[] = {
      {022, 0666, 0644}, {077, 0666, 0600}, {027, 0666, 0640},
      {0, 0666, 0666},   {022, 0600, 0600}, {0, 0600, 0600},
  };
  TempDir dir;
  const mode_t before = ::umask(022);
  for (const Case& c : kCases) {
    ::umask(c.umask);
    const std::string path = dir / "new";
    ::unlink(path.c_str());
    EXPECT_FALSE(WriteFileAtomically(path, "x", c.asked));
    EXPECT_EQ(ModeOf(path), c.expected) << std::oct << c.umask << " " << c.asked;
    ::umask(077);
    ASSERT_EQ(::chmod(path.c_str(), 0664), 0);
    EXPECT_FALSE(WriteFileAtomically(path, "y", c.asked));
    EXPECT_EQ(ModeOf(path), 0664u);
  }
  ::umask(before);
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

// What a writer that was killed leaves, beside what only looks like it. The next write of the
// file removes exactly the abandoned temporary files of that file.
TEST(AtomicFileTest, AWriteRemovesTheTemporaryFilesThatKilledWritersOfTheSameFileLeft) {
  enum class Kind { Plain, Locked, Fifo, Link };
  struct Case {
    const char* name;
    Kind kind;
    bool removed;
  };
  const Case cases[] = {
      {".QMR7-TOOL.INI.a1B2c3.tmp", Kind::Plain, true},    // its writer was killed
      {".QMR7-TOOL.INI.Zz9Yy8.tmp", Kind::Plain, true},    // and another one
      {".QMR7-TOOL.INI.d4E5f6.tmp", Kind::Locked, false},  // a write in progress elsewhere
      {".QMR7-TOOL.INI.fifo01.tmp", Kind::Fifo, false},    // not a file: never opened blocking
      {".QMR7-TOOL.INI.link01.tmp", Kind::Link, false},    // never followed
      {".OTHER.INI.a1B2c3.tmp", Kind::Plain, false},       // another file's write
      {".QMR7-TOOL.INI.a1B2c.tmp", Kind::Plain, false},    // not the writer's pattern
      {".QMR7-TOOL.INI.a1-2c3.tmp", Kind::Plain, false},
      {"QMR7-TOOL.INI.a1B2c3.tmp", Kind::Plain, false},
  };
  TempDir dir;
  const std::string path = dir / "QMR7-TOOL.INI";
  WriteFile(path, "old");
  WriteFile(dir / "elsewhere", "keep");
  int lockFd = -1;
  for (const Case& c : cases) {
    const std::string file = dir / c.name;
    switch (c.kind) {
      case Kind::Plain:
        WriteFile(file, "half");
        break;
      case Kind::Locked:
        WriteFile(file, "half");
        lockFd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(::flock(lockFd, LOCK_EX), 0);
        break;
      case Kind::Fifo:
        ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
        break;
      case Kind::Link:
        ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), file.c_str()), 0);
        break;
    }
  }

  ASSERT_FALSE(WriteFileAtomically(path, "new"));
  EXPECT_EQ(ReadFile(path), "new");
  EXPECT_EQ(ReadFile(dir / "elsewhere"), "keep");
  const std::vector<std::string> left = Names(dir.Path());
  for (const Case& c : cases) {
    const bool there = std::find(left.begin(), left.end(), c.name) != left.end();
    EXPECT_EQ(there, !c.removed) << c.name;
  }
  ::close(lockFd);
}

// Each writer keeps its temporary file locked until it is in place, so writers of one file in
// different processes never take each other's files for abandoned ones: none of their writes
// fails, and nothing is left.
TEST(AtomicFileTest, WritersOfOneFileInSeveralProcessesNeverRemoveEachOthersFiles) {
  TempDir dir;
  const std::string path = dir / "state";
  constexpr int kWriters = 3;
  constexpr int kWrites = 60;
  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int failures = 0;
      for (int i = 0; i < kWrites; ++i) {
        const std::string value = "writer " + std::to_string(w) + " write " + std::to_string(i);
        if (WriteFileAtomically(path, value)) ++failures;
      }
      ::_exit(failures == 0 ? 0 : 1);
    }
    writers.push_back(pid);
  }
  for (const pid_t pid : writers) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a write failed";
  }
  EXPECT_EQ(ReadFile(path).rfind("writer ", 0), 0u);
  EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"state"});
}

}  // namespace
}  // namespace toolkit
