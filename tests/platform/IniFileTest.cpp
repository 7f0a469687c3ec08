#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "platform/IniFile.h"
#include "tests/support/Hostile.h"
#include "tests/support/TempDir.h"
#include "tests/support/Unprivileged.h"
#include "toolkit/Exception.h"

namespace platform {
namespace {

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

struct ReadCase {
  const char* name;
  const char* contents;  // nullptr: no file
  const char* section;
  const char* key;
  std::optional<std::string> expected;
};

TEST(IniFileTest, ReadsAsThePrivateProfileFunctionsDo) {
  const ReadCase cases[] = {
      {"no file", nullptr, "Setting", "DFU_FileName", std::nullopt},
      {"plain", "[Setting]\nDFU_FileName=/fw/QMR7_1.dfu\n", "Setting", "DFU_FileName",
       "/fw/QMR7_1.dfu"},
      {"names ignore case", "[setting]\ndfu_filename=/a\n", "Setting", "DFU_FileName", "/a"},
      {"blanks around", "[ Setting ]\n  DFU_FileName =  /a b  \n", "Setting", "DFU_FileName",
       "/a b"},
      {"quotes stripped", "[Setting]\nDFU_FileName=\"/a b\"\n", "Setting", "DFU_FileName", "/a b"},
      {"empty value", "[Setting]\nDFU_FileName=\n", "Setting", "DFU_FileName", ""},
      {"crlf", "[Setting]\r\nDFU_FileName=/a\r\n", "Setting", "DFU_FileName", "/a"},
      {"other section", "[Other]\nDFU_FileName=/a\n", "Setting", "DFU_FileName", std::nullopt},
      {"key after section ends", "[Setting]\nX=1\n[Other]\nDFU_FileName=/a\n", "Setting",
       "DFU_FileName", std::nullopt},
      {"comment is not a key", "[Setting]\n;DFU_FileName=/a\n", "Setting", "DFU_FileName",
       std::nullopt},
      {"japanese path", "[Setting]\nDFU_FileName=/\u30d5\u30a1\u30a4\u30eb.dfu\n", "Setting",
       "DFU_FileName", "/\u30d5\u30a1\u30a4\u30eb.dfu"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const std::string path = dir / "t.INI";
    if (c.contents != nullptr) WriteFile(path, c.contents);
    EXPECT_EQ(IniFile(path).Read(c.section, c.key), c.expected) << c.name;
  }
}

struct WriteCase {
  const char* name;
  const char* before;  // nullptr: no file
  const char* value;
  const char* after;
};

TEST(IniFileTest, WritesOnlyItsOwnLineAndKeepsEverythingElse) {
  const WriteCase cases[] = {
      {"new file", nullptr, "/a", "[Setting]\nDFU_FileName=/a\n"},
      {"empty value still written", nullptr, "", "[Setting]\nDFU_FileName=\n"},
      {"replaces in place", "; mine\n[Setting]\nDFU_FileName=/old\nOther=1\n\n[X]\nk=v\n", "/new",
       "; mine\n[Setting]\nDFU_FileName=/new\nOther=1\n\n[X]\nk=v\n"},
      {"adds after the section's last key", "[Setting]\nOther=1\n\n[X]\nk=v\n", "/a",
       "[Setting]\nOther=1\nDFU_FileName=/a\n\n[X]\nk=v\n"},
      {"appends a missing section", "[X]\nk=v\n", "/a", "[X]\nk=v\n[Setting]\nDFU_FileName=/a\n"},
      {"keeps CR LF", "[Setting]\r\nDFU_FileName=/old\r\n", "/a",
       "[Setting]\r\nDFU_FileName=/a\r\n"},
      {"matches names in any case", "[SETTING]\ndfu_filename=/old\n", "/a",
       "[SETTING]\nDFU_FileName=/a\n"},
      {"ends a last line without its line end", "[Setting]\nOther=1", "/a",
       "[Setting]\nOther=1\nDFU_FileName=/a\n"},
      {"keeps each line's own line end", "[X]\r\nk=v\n[Setting]\nDFU_FileName=/old\n", "/a",
       "[X]\r\nk=v\n[Setting]\nDFU_FileName=/a\n"},
      {"keeps carriage returns that end no line", "S\r\r\r", "/a",
       "S\r\r\r\n[Setting]\nDFU_FileName=/a\n"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const std::string path = dir / "t.INI";
    if (c.before != nullptr) WriteFile(path, c.before);
    IniFile(path).WriteString("Setting", "DFU_FileName", c.value);
    EXPECT_EQ(ReadFile(path), c.after) << c.name;
    EXPECT_EQ(IniFile(path).ReadString("Setting", "DFU_FileName", "?"), c.value) << c.name;
  }
}

// The window writes the same path at every close: the second write finds its own line and leaves
// every byte as the first left it, whatever the file held before.
TEST(IniFileTest, WritingTheSameValueAgainChangesNoByte) {
  const char* befores[] = {
      "",
      "[Setting]\r\nDFU_FileName=/old\r\n",
      "[X]\r\nk=v\n[Setting]\nOther=1",
      // Found by settings_file_fuzz: the first write took a carriage return off this line, and the
      // second then ended every line with CR LF.
      "\xd4Setting\r\r\r\r\r\r\r\r\r",
      "\r\n",
      "[Setting]\nOther=1\r",
  };
  for (const char* before : befores) {
    SCOPED_TRACE(::testing::PrintToString(std::string(before)));
    TempDir dir;
    const std::string path = dir / "t.INI";
    WriteFile(path, before);
    IniFile(path).WriteString("Setting", "DFU_FileName", "/a b");
    const std::string first = ReadFile(path);
    IniFile(path).WriteString("Setting", "DFU_FileName", "/a b");
    EXPECT_EQ(ReadFile(path), first);
    EXPECT_EQ(IniFile(path).Read("Setting", "DFU_FileName"), "/a b");
  }
}

// A file name on Linux may hold blanks at its ends, quotes, even a line break: a value either reads
// back exactly as written or is refused, never cut.
TEST(IniFileTest, AValueReadsBackExactlyOrIsRefused) {
  struct Case {
    const char* name;
    std::string value;
    bool held;
    const char* line;  // the line written for it
  };
  const Case cases[] = {
      {"plain", "/fw/a.dfu", true, "DFU_FileName=/fw/a.dfu"},
      {"blank at the end", "/fw/a.dfu ", true, "DFU_FileName=\"/fw/a.dfu \""},
      {"blank at the start", " a.dfu", true, "DFU_FileName=\" a.dfu\""},
      {"tab at the end", "a.dfu\t", true, "DFU_FileName=\"a.dfu\t\""},
      {"surrounded by double quotes", "\"a.dfu\"", true, "DFU_FileName=\"\"a.dfu\"\""},
      {"surrounded by single quotes", "'a.dfu'", true, "DFU_FileName=\"'a.dfu'\""},
      {"one quote only", "\"a.dfu", true, "DFU_FileName=\"a.dfu"},
      {"line feed inside", "/fw/a\nb.dfu", false, nullptr},
      {"carriage return inside", "/fw/a\rb.dfu", false, nullptr},
      {"line feed at the end", "/fw/a.dfu\n", false, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir / "t.INI";
    const std::string before = "[Setting]\nDFU_FileName=/old\n";
    WriteFile(path, before);
    EXPECT_EQ(IniFile::CanHold(c.value), c.held);
    if (c.held) {
      IniFile(path).WriteString("Setting", "DFU_FileName", c.value);
      EXPECT_EQ(ReadFile(path), "[Setting]\n" + std::string(c.line) + "\n");
      EXPECT_EQ(IniFile(path).Read("Setting", "DFU_FileName"), c.value);
    } else {
      EXPECT_THROW(IniFile(path).WriteString("Setting", "DFU_FileName", c.value),
                   toolkit::Exception);
      EXPECT_EQ(ReadFile(path), before);
    }
  }
}

TEST(IniFileTest, AFailedWriteRaisesAndLeavesNoHalfWrittenFile) {
  TempDir dir;
  // A folder where the file should be: the rename at the end cannot replace it.
  const std::string blocked = dir / "t.INI";
  std::filesystem::create_directory(blocked);
  try {
    IniFile(blocked).WriteString("Setting", "DFU_FileName", "/a");
    FAIL() << "no error";
  } catch (const toolkit::Exception& e) {
    EXPECT_EQ(e.Message(), "Unable to write to " + blocked);
  }
  // Only the blocking folder is left: no temporary file.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);

  const std::string noFolder = dir / "missing/t.INI";
  EXPECT_THROW(IniFile(noFolder).WriteString("Setting", "K", "v"), toolkit::Exception);
}

TEST(IniFileTest, ReplacesTheFileWholeInsteadOfRewritingItInPlace) {
  TempDir dir;
  const std::string path = dir / "t.INI";
  const std::string old = "[Setting]\nDFU_FileName=/old\n";
  WriteFile(path, old);
  // A second name for the old file shows whether its bytes were ever touched: a crash half-way
  // through an in-place rewrite would leave them cut.
  std::filesystem::create_hard_link(path, dir / "witness");
  IniFile(path).WriteString("Setting", "DFU_FileName", "/new");
  EXPECT_EQ(ReadFile(dir / "witness"), old);
  EXPECT_EQ(ReadFile(path), "[Setting]\nDFU_FileName=/new\n");
}

// The message stays the one the user sees; the cause says which step failed and why.
TEST(IniFileTest, AFailedWriteCarriesTheSystemsReason) {
  TempDir dir;
  WriteFile(dir / "plain", "a file where a folder should be");
  try {
    IniFile(dir / "plain/t.INI").WriteString("Setting", "DFU_FileName", "/a");
    FAIL() << "no error";
  } catch (const IniFileError& e) {
    EXPECT_EQ(e.Message(), "Unable to write to " + (dir / "plain/t.INI"));
    EXPECT_EQ(e.Cause().code, ENOTDIR);
    EXPECT_EQ(e.Cause().kind, toolkit::ErrorKind::OsFailure);
  }
}

// What may stand where the settings file should be. Nothing of it is read into memory or holds the
// reader up: it reads as a missing file, and the write at close leaves it as it was and says so.
TEST(IniFileTest, HostileSettingsFilesReadAsMissingAtOnceAndAreNeverReplaced) {
  struct Case {
    const char* input;
    void (*make)(const std::string& path);
  };
  const Case cases[] = {
      {"a named pipe no one writes to",
       [](const std::string& path) { ::mkfifo(path.c_str(), 0600); }},
      {"a symlink to a named pipe",
       [](const std::string& path) {
         ::mkfifo((path + ".pipe").c_str(), 0600);
         ::symlink((path + ".pipe").c_str(), path.c_str());
       }},
      {"a symlink to /dev/zero (endless zeros)",
       [](const std::string& path) { ::symlink("/dev/zero", path.c_str()); }},
      {"a settings file of 1 MiB + 1 byte holding the key and a section of the user's",
       [](const std::string& path) {
         WriteFile(path, "[Setting]\nDFU_FileName=/a\n[Mine]\n" +
                             std::string(IniFile::kMaxFileSize, ';'));
       }},
      {"a folder", [](const std::string& path) { std::filesystem::create_directory(path); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    TempDir dir;
    const std::string path = dir / "t.INI";
    c.make(path);
    struct stat before {};
    ASSERT_EQ(::lstat(path.c_str(), &before), 0);
    const auto value =
        testsupport::WithinBound([path] { return IniFile(path).Read("Setting", "DFU_FileName"); });
    ASSERT_TRUE(value) << "reading blocked";
    EXPECT_EQ(*value, std::nullopt);
    const auto written = testsupport::WithinBound([path] {
      try {
        IniFile(path).WriteString("Setting", "DFU_FileName", "/new");
      } catch (const IniFileError& e) {
        return e.Message() + ": " + toolkit::Describe(e.Cause());
      }
      return std::string("written");
    });
    ASSERT_TRUE(written) << "writing blocked";
    EXPECT_EQ(written->rfind("Unable to write to " + path + ": read " + path + ": ", 0), 0u)
        << *written;
    struct stat after {};
    ASSERT_EQ(::lstat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(after.st_mode, before.st_mode);
    testsupport::RecordHostile("Settings file", c.input,
                               "reads as missing at once; the write at close leaves it as it was "
                               "and reports that it could not write");
  }
}

// What a user without privileges meets when the write at close cannot be made: the settings file
// stays whole, every line the user had in it too, and the write reports why (the window shows it).
TEST(IniFileTest, ASettingsFileThatCannotBeWrittenIsLeftWhole) {
  struct Case {
    const char* input;
    const char* name;  // the folder's
    mode_t folderMode;
    bool fileOfRoot;  // another user's file; root only
    mode_t fileMode;
    bool fullDisk;  // root only
    bool readable;
    int error;
  };
  const Case cases[] = {
      {"a settings file the user may not read (another user's, 0600)", "unreadable", 0777, true,
       0600, false, false, EACCES},
      {"a settings file on a full file system", "full", 0700, false, 0600, true, true, ENOSPC},
      {"a settings file in a folder the user may not change (0555)", "closed", 0555, false, 0600,
       false, true, EACCES},
      {"a settings file the user made read-only (0400)", "readonly", 0700, false, 0400, false, true,
       EACCES},
  };
  TempDir dir(testsupport::UnprivilegedTempBase());
  ASSERT_EQ(::chmod(dir.Path().c_str(), 0711), 0);
  const std::string text = "[Setting]\nDFU_FileName=/a\n[Mine]\nkept=yes\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    const std::string folder = dir / c.name;
    testsupport::SmallFileSystem disk(folder, 64);
    if (c.fullDisk && !disk.Mounted()) {
      std::cout << "[ SKIPPED  ] " << c.input << ": needs root to mount a small file system\n";
      continue;
    }
    // Not as root, the user's own file with no permission at all stands for another user's.
    const bool othersFile = c.fileOfRoot && testsupport::RunningAsRoot();
    const mode_t fileMode = c.fileOfRoot && !othersFile ? 0 : c.fileMode;
    ASSERT_TRUE(testsupport::GiveToUnprivileged(folder, 0700));
    const std::string path = folder + "/t.INI";
    WriteFile(path, text);
    if (!othersFile) {
      ASSERT_TRUE(testsupport::GiveToUnprivileged(path, fileMode));
    }
    ASSERT_EQ(::chmod(path.c_str(), fileMode), 0);
    if (c.fullDisk) {
      ASSERT_TRUE(disk.Fill());
    }
    ASSERT_EQ(::chmod(folder.c_str(), c.folderMode), 0);

    // The reader and writer run as the unprivileged user, in a child process.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (testsupport::RunningAsRoot() &&
          (::setgroups(0, nullptr) != 0 || ::setgid(testsupport::kNoGroup) != 0 ||
           ::setuid(testsupport::kNobody) != 0)) {
        ::_exit(10);
      }
      if (IniFile(path).Read("Setting", "DFU_FileName").has_value() != c.readable) ::_exit(12);
      try {
        IniFile(path).WriteString("Setting", "DFU_FileName", "/new");
        ::_exit(13);
      } catch (const IniFileError& e) {
        ::_exit(e.Cause().code == c.error ? 0 : 14);
      }
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::chmod(folder.c_str(), 0700);
    ::chmod(path.c_str(), 0600);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadFile(path), text);
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      left.push_back(entry.path().filename().string());
    }
    std::sort(left.begin(), left.end());
    const std::vector<std::string> expected = c.fullDisk
                                                  ? std::vector<std::string>{"filler", "t.INI"}
                                                  : std::vector<std::string>{"t.INI"};
    EXPECT_EQ(left, expected);
    testsupport::RecordHostile("Where files are written", c.input,
                               c.readable ? "the write at close fails with the reason; the file "
                                            "whole, nothing left beside it"
                                          : "reads as missing; the write at close fails with the "
                                            "reason; the file whole, nothing left beside it");
  }
}

// A settings file kept elsewhere and linked into place: the write replaces the target, and the
// link stays a link; a link to a file not yet made makes it.
TEST(IniFileTest, ASymbolicLinkIsWrittenThrough) {
  TempDir dir;
  std::filesystem::create_directory(dir / "dotfiles");
  const std::string target = dir / "dotfiles/qmr7.INI";
  WriteFile(target, "[Setting]\nDFU_FileName=/a\n[Mine]\nkept=yes\n");
  const std::string link = dir / "t.INI";
  ASSERT_EQ(::symlink("dotfiles/qmr7.INI", link.c_str()), 0);
  IniFile(link).WriteString("Setting", "DFU_FileName", "/new");
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(ReadFile(target), "[Setting]\nDFU_FileName=/new\n[Mine]\nkept=yes\n");

  const std::string dangling = dir / "u.INI";
  ASSERT_EQ(::symlink((dir / "dotfiles/later.INI").c_str(), dangling.c_str()), 0);
  IniFile(dangling).WriteString("Setting", "DFU_FileName", "/b");
  EXPECT_TRUE(std::filesystem::is_symlink(dangling));
  EXPECT_EQ(ReadFile(dir / "dotfiles/later.INI"), "[Setting]\nDFU_FileName=/b\n");
}

}  // namespace
}  // namespace platform
