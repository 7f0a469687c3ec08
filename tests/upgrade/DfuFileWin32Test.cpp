// Files that are no firmware files on Windows (the devices every folder has), and the copy taken
// at the check: a temporary file that keeps the checked bytes whatever becomes of the file, that
// no one else may change while it is held, and that goes with it.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "tests/support/TempDir.h"
#include "tests/upgrade/FirmwareFiles.h"
#include "toolkit/backend/win32/SystemError.h"
#include "upgrade/DfuFile.h"
#include "upgrade/FirmwareCopy.h"
#include "upgrade/win32/DevicePath.h"

namespace dfu {
namespace {

std::filesystem::path Native(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

struct PathCase {
  const wchar_t* path;  // a full path, as GetFullPathNameW makes them
  bool device;
};

TEST(FileCheckWin32, PathsThatNameDevicesAreKnownFromThePathAlone) {
  const PathCase cases[] = {
      {L"\\\\.\\COM3", true},
      {L"\\\\.\\pipe\\x", true},
      {L"\\\\?\\C:\\fw\\fw.dfu", false},   // the long-path form of an ordinary file
      {L"\\\\?\\c:\\fw\\nul.dfu", false},  // taken literally there: a file of that name
      {L"\\\\?\\UNC\\server\\share\\fw.dfu", false},
      {L"\\\\?\\UNC\\server\\pipe\\x", true},
      {L"\\\\?\\GLOBALROOT\\Device\\Serial0", true},
      {L"\\\\?\\COM3", true},
      {L"\\\\server\\pipe\\x", true},
      {L"\\\\localhost\\PIPE\\x", true},
      {L"C:\\fw\\CON", true},
      {L"C:\\fw\\nul.dfu", true},
      {L"C:\\fw\\Aux.txt.dfu", true},
      {L"C:\\fw\\PRN", true},
      {L"C:\\fw\\com3.dfu", true},
      {L"C:\\fw\\LPT1", true},
      {L"C:\\fw\\COM\u00B9.dfu", true},
      {L"C:\\fw\\CONIN$", true},
      {L"C:\\fw\\conout$.dfu", true},
      {L"C:\\fw\\NUL .dfu", true},
      {L"C:\\fw\\COM3:", true},
      {L"C:\\fw\\fw.dfu", false},
      {L"C:\\fw\\CONSOLE.dfu", false},
      {L"C:\\fw\\COM10.dfu", false},
      {L"C:\\fw\\NULL.dfu", false},
      {L"C:\\fw\\con-fw.dfu", false},
      {L"C:\\fw\\COMA.dfu", false},
      {L"C:\\CON\\fw.dfu", false},  // a folder of that name is only a folder
      {L"C:\\pipe\\fw.dfu", false},
      {L"\\\\server\\share\\fw.dfu", false},
      {L"\\\\server\\pipes\\fw.dfu", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(win32::NamesADevice(c.path), c.device) << toolkit::win32::Narrow(c.path);
  }
}

struct InputCase {
  const char* input;  // as a user might give it; "<dir>" is the test's folder
  FileFault fault;
};

TEST(FileCheckWin32, DevicesAreRefusedAndRegularFilesOfLookAlikeNamesTaken) {
  testsupport::TempDir dir;
  for (const char* name : {"CONSOLE.dfu", "COM10.dfu", "fw.dfu"}) {
    testing::WriteFirmware(dir / name, testing::Header());
  }
  const InputCase cases[] = {
      {"NUL", FileFault::Open},
      {"\\\\.\\NUL", FileFault::Open},
      {"//./NUL", FileFault::Open},
      {"CONIN$", FileFault::Open},
      {"conout$", FileFault::Open},
      {"COM9", FileFault::Open},
      {"<dir>/nul.dfu", FileFault::Open},
      {"<dir>/COM9.dfu", FileFault::Open},
      {"\\\\?\\<dir>\\fw.dfu", FileFault::None},
      {"\\\\?\\COM9", FileFault::Open},
      {"<dir>/CONSOLE.dfu", FileFault::None},
      {"<dir>/COM10.dfu", FileFault::None},
      {"<dir>/fw.dfu", FileFault::None},
  };
  for (const auto& c : cases) {
    std::string path = c.input;
    if (const auto at = path.find("<dir>"); at != std::string::npos) {
      path.replace(at, 5, dir.Path());
    }
    if (path.rfind("\\\\?\\", 0) == 0) std::replace(path.begin(), path.end(), '/', '\\');
    FileInfo info;
    EXPECT_EQ(CheckFile(path, info), c.fault) << path;
  }
}

TEST(FileCheckWin32, APipeIsNeverOpened) {
  const std::wstring name = L"\\\\.\\pipe\\qmr7-test-" + std::to_wstring(::GetCurrentProcessId());
  const HANDLE server = ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                           PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  FileInfo info;
  for (const std::string& path :
       {toolkit::win32::Narrow(name),
        std::string("//./pipe/qmr7-test-") + std::to_string(::GetCurrentProcessId())}) {
    EXPECT_EQ(CheckFile(path, info), FileFault::Open) << path;
  }
  // Had a client come, even one gone again, the server would hear of it now.
  OVERLAPPED overlapped{};
  overlapped.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const BOOL connected = ::ConnectNamedPipe(server, &overlapped);
  const DWORD error = ::GetLastError();
  EXPECT_FALSE(connected);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_IO_PENDING)) << "a client opened the pipe";
  ::CancelIo(server);
  DWORD ignored = 0;
  ::GetOverlappedResult(server, &overlapped, &ignored, TRUE);
  ::CloseHandle(overlapped.hEvent);
  ::CloseHandle(server);
}

TEST(FirmwareCopyWin32, KeepsTheCheckedBytesLetsNoOneChangeThemAndGoesWithTheCopy) {
  testsupport::TempDir dir;
  const std::string path = dir / "fw.dfu";
  testsupport::WriteFile(
      path, testing::Text(BuildFile(testing::Header(), testing::Body(3000), testing::Ids())));
  std::filesystem::path held;
  {
    FirmwareCopy copy;
    FileInfo info;
    ASSERT_EQ(FirmwareCopy::Take(path, copy, info), FileFault::None);
    ASSERT_TRUE(copy.Held());
    held = Native(copy.Path());
    testsupport::WriteFile(path, "no longer firmware");

    FileInfo again;
    EXPECT_EQ(CheckFile(copy.Path(), again), FileFault::None);
    EXPECT_EQ(again.imageSize, info.imageSize);

    // Whoever asks, sharing all, is refused writing, renaming and removing while the copy is held.
    const std::wstring wide = held.wstring();
    const HANDLE writer = ::CreateFileW(wide.c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD writeError = ::GetLastError();
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
    if (writer != INVALID_HANDLE_VALUE) ::CloseHandle(writer);
    EXPECT_EQ(writeError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    const std::wstring moved = wide + L".moved";
    EXPECT_FALSE(::MoveFileExW(wide.c_str(), moved.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_FALSE(std::filesystem::exists(moved));
    EXPECT_FALSE(::DeleteFileW(wide.c_str()));
    EXPECT_TRUE(std::filesystem::exists(held));
    EXPECT_EQ(CheckFile(copy.Path(), again), FileFault::None);
    EXPECT_EQ(again.imageSize, info.imageSize);
  }
  EXPECT_FALSE(std::filesystem::exists(held));
}

}  // namespace
}  // namespace dfu
