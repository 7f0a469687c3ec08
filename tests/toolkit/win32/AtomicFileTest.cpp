// The atomic file writer on Windows: MoveFileEx with write-through puts the finished file in place;
// the temporary files of writers that have gone are swept, those of live writers left alone; a
// move refused for a moment is tried again.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/TempDir.h"
#include "tests/support/Wine.h"
#include "toolkit/AtomicFile.h"
#include "toolkit/backend/win32/AtomicFile.h"
#include "toolkit/backend/win32/SystemError.h"

namespace toolkit {
namespace {

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;
using win32::Wide;

constexpr int kPathNotFound = 3;  // ERROR_PATH_NOT_FOUND

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A handle on a file, as another program (or a live writer) holds it: GENERIC_READ, sharing only
// what `share` allows.
class Held {
 public:
  Held(const std::string& path, DWORD share)
      : handle_(::CreateFileW(Wide(path).c_str(), GENERIC_READ, share, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  ~Held() { Release(); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;

  bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
  void Release() {
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_;
};

// The writer with its names drawn from `numbers` in turn and its waits recorded, never slept.
struct SeamedWriter {
  explicit SeamedWriter(std::vector<std::uint32_t> numbers = {0x1234abcd})
      : numbers_(std::move(numbers)) {}

  Error Write(const std::string& path, std::string_view contents,
              Existing existing = Existing::Replace) {
    const win32::AtomicWriteSeams seams{
        [this] { return numbers_[std::min(next_++, numbers_.size() - 1)]; },
        [this](std::uint32_t ms) {
          waits.push_back(ms);
          if (onWait) onWait(waits.size());
        }};
    return win32::WriteFileAtomically(path, contents, existing, seams);
  }

  std::vector<std::uint32_t> waits;
  std::function<void(std::size_t count)> onWait;

 private:
  std::vector<std::uint32_t> numbers_;
  std::size_t next_ = 0;
};

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

TEST(AtomicFileTest, AFailedWriteRemovesItsTemporaryFileAfterTakingAnotherName) {
  TempDir dir;
  std::filesystem::create_directory(dir / "target");
  // A live writer holds the first name drawn, so this write takes the next one.
  Held live(dir / ".target.0000000a.tmp", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  ASSERT_TRUE(live.IsOpen());
  SeamedWriter writer({0xa, 0xb});
  const Error e = writer.Write(dir / "target", "new");
  EXPECT_EQ(e.op.rfind("rename " + dir.Path() + "/.target.0000000b.tmp", 0), 0u) << e.op;
  EXPECT_EQ(Names(dir.Path()), (std::vector<std::string>{".target.0000000a.tmp", "target"}));
  EXPECT_TRUE(writer.waits.empty()) << "a folder in the way refuses for good";
}

enum class Left { File, HeldFile, Folder };

struct SweepCase {
  const char* name;
  Left left;
  bool removed;
};

TEST(AtomicFileTest, TheNextWriteRemovesTheTemporaryFilesOfWritersThatHaveGone) {
  const SweepCase cases[] = {
      {".QMR7-TOOL.INI.0123abcd.tmp", Left::File, true},
      {".qmr7-tool.ini.89abcdef.TMP", Left::File, true},       // names match without regard to case
      {".QMR7-TOOL.INI.11111111.tmp", Left::HeldFile, false},  // its writer still runs
      {".QMR7-TOOL.INI.22222222.tmp", Left::Folder, false},
      {".QMR7-TOOL.INI.0123abc.tmp", Left::File, false},  // not a name a writer makes
      {".QMR7-TOOL.INI.0123abcg.tmp", Left::File, false},
      {".QMR7-TOOL.INI.0123abcd.tmp.bak", Left::File, false},
      {"QMR7-TOOL.INI.0123abcd.tmp", Left::File, false},
      {".OTHER.INI.0123abcd.tmp", Left::File, false},
  };
  TempDir dir;
  std::vector<std::unique_ptr<Held>> held;
  std::vector<std::string> expected{"QMR7-TOOL.INI"};
  for (const auto& c : cases) {
    if (c.left == Left::Folder) {
      std::filesystem::create_directory(dir / c.name);
    } else {
      WriteFile(dir / c.name, "left");
    }
    if (c.left == Left::HeldFile) {
      held.push_back(std::make_unique<Held>(
          dir / c.name, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
      ASSERT_TRUE(held.back()->IsOpen());
    }
    if (!c.removed) expected.push_back(c.name);
  }
  std::sort(expected.begin(), expected.end());
  ASSERT_FALSE(WriteFileAtomically(dir / "QMR7-TOOL.INI", "new"));
  EXPECT_EQ(ReadFile(dir / "QMR7-TOOL.INI"), "new");
  EXPECT_EQ(Names(dir.Path()), expected);
}

TEST(AtomicFileTest, AMoveRefusedWhileAnotherProgramHoldsTheFileIsTriedAgain) {
  TempDir dir;
  const std::string path = dir / "settings.ini";
  WriteFile(path, "old");
  // A scanner's handle that does not let the file be replaced.
  Held scanner(path, FILE_SHARE_READ);
  ASSERT_TRUE(scanner.IsOpen());
  SeamedWriter writer;
  writer.onWait = [&](std::size_t count) {
    if (count == 2) scanner.Release();
  };
  const Error e = writer.Write(path, "new");
  if (e && writer.waits.empty() && testsupport::OnWine()) {
    GTEST_SKIP() << "wine: " << e.op << " failed with " << e.code << " without a retry";
  }
  ASSERT_FALSE(e) << e.op << ": " << e.text;
  EXPECT_EQ(writer.waits, (std::vector<std::uint32_t>{10, 20}));
  EXPECT_EQ(ReadFile(path), "new");
  EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"settings.ini"});
}

TEST(AtomicFileTest, AMoveRefusedForLongerFailsAfterTheLastWaitAndLeavesNothingBehind) {
  TempDir dir;
  const std::string path = dir / "settings.ini";
  WriteFile(path, "old");
  Held scanner(path, FILE_SHARE_READ);
  ASSERT_TRUE(scanner.IsOpen());
  SeamedWriter writer;
  const Error e = writer.Write(path, "new");
  if (e && writer.waits.empty() && testsupport::OnWine()) {
    GTEST_SKIP() << "wine: " << e.op << " failed with " << e.code << " without a retry";
  }
  EXPECT_EQ(e.kind, ErrorKind::OsFailure);
  EXPECT_TRUE(e.code == ERROR_SHARING_VIOLATION || e.code == ERROR_ACCESS_DENIED) << e.code;
  EXPECT_EQ(e.op.rfind("rename ", 0), 0u) << e.op;
  EXPECT_EQ(writer.waits, std::vector<std::uint32_t>(std::begin(win32::kMoveWaitsMs),
                                                     std::end(win32::kMoveWaitsMs)));
  scanner.Release();
  EXPECT_EQ(ReadFile(path), "old");
  EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"settings.ini"});
}

}  // namespace
}  // namespace toolkit
