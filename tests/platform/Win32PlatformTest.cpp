// The window's Windows services against the system itself: the notifier window's device
// changes, the setup library's ports, the folders, and the settings file with its atomic write.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which it needs.
#include <dbt.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/Folders.h"
#include "platform/IniFile.h"
#include "platform/System.h"
#include "platform/win32/MessageWindowNotifier.h"
#include "platform/win32/SetupApiPortEnumerator.h"
#include "tests/support/Win32TestSupport.h"
#include "toolkit/Application.h"
#include "toolkit/AtomicFile.h"
#include "toolkit/Exception.h"
#include "toolkit/backend/win32/SystemError.h"

namespace platform {
namespace {

using testsupport::UnderWine;
using testsupport::WinTempDir;

// A broadcast record as the system sends it: the header, `fixed` bytes of the type's own fields
// (zero), the name with its terminator.
std::vector<unsigned char> Broadcast(DWORD type, std::size_t fixed, const std::wstring& name) {
  std::vector<unsigned char> record(sizeof(DEV_BROADCAST_HDR) + fixed +
                                    (name.size() + 1) * sizeof(wchar_t));
  DEV_BROADCAST_HDR header{};
  header.dbch_size = static_cast<DWORD>(record.size());
  header.dbch_devicetype = type;
  std::memcpy(record.data(), &header, sizeof header);
  std::memcpy(record.data() + sizeof header + fixed, name.c_str(),
              (name.size() + 1) * sizeof(wchar_t));
  return record;
}

HWND NotifierWindow(HWND after = nullptr) {
  return ::FindWindowExW(nullptr, after, win32::kNotifierWindowClass, nullptr);
}

class MessageWindowNotifierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registration_ = notifier_.Register([this](const DeviceChange& change) {
      changes_.push_back(change);
      threads_.push_back(::GetCurrentThreadId());
    });
    if (registration_ == nullptr && UnderWine()) {
      GTEST_SKIP() << "wine: RegisterDeviceNotification refused the registration here";
    }
    ASSERT_NE(registration_, nullptr);
    window_ = NotifierWindow();
    ASSERT_NE(window_, nullptr);
  }

  LRESULT Send(WPARAM event, std::vector<unsigned char>* record) {
    return ::SendMessageW(window_, WM_DEVICECHANGE, event,
                          reinterpret_cast<LPARAM>(record != nullptr ? record->data() : nullptr));
  }

  win32::MessageWindowNotifier notifier_;
  std::unique_ptr<DeviceNotifier::Registration> registration_;
  HWND window_ = nullptr;
  std::vector<DeviceChange> changes_;
  std::vector<DWORD> threads_;
};

TEST_F(MessageWindowNotifierTest, TheWindowHandsEachArrivalAndRemovalToTheHandler) {
  auto port = Broadcast(DBT_DEVTYP_PORT, 0, L"COM4");
  const std::wstring path =
      L"\\\\?\\USB#VID_1209&PID_7207#1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
  auto usb = Broadcast(DBT_DEVTYP_DEVICEINTERFACE, sizeof(GUID), path);
  auto volume = Broadcast(DBT_DEVTYP_VOLUME, 8, L"");

  EXPECT_EQ(Send(DBT_DEVICEREMOVECOMPLETE, &port), TRUE);
  Send(DBT_DEVICEARRIVAL, &usb);
  Send(DBT_DEVICEARRIVAL, &volume);
  Send(DBT_DEVNODES_CHANGED, nullptr);
  Send(DBT_DEVICEQUERYREMOVE, &port);

  const std::vector<DeviceChange> expected = {
      {kDeviceRemoveComplete, DeviceKind::Port, "COM4"},
      {kDeviceArrival, DeviceKind::Interface, toolkit::win32::Narrow(path)},
      {kDeviceArrival, DeviceKind::Other, ""},
  };
  EXPECT_EQ(changes_, expected);
}

// The system sends port broadcasts to top-level windows only: a message-only window never hears
// them.
TEST_F(MessageWindowNotifierTest, TheWindowIsAHiddenTopLevelOneWhereBroadcastsReachIt) {
  EXPECT_EQ(::GetAncestor(window_, GA_PARENT), ::GetDesktopWindow());
  EXPECT_FALSE(::IsWindowVisible(window_));
}

TEST_F(MessageWindowNotifierTest, AChangeSentFromAnotherThreadArrivesOnTheRegisteringThread) {
  auto port = Broadcast(DBT_DEVTYP_PORT, 0, L"COM9");
  // The system sends device changes; a sent message waits for the window's thread to take it.
  std::thread sender([&] {
    ::SendMessageW(window_, WM_DEVICECHANGE, DBT_DEVICEARRIVAL,
                   reinterpret_cast<LPARAM>(port.data()));
  });
  for (int turn = 0; changes_.empty() && turn < 1000; ++turn) {
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10000, QS_ALLINPUT);
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
      ::DispatchMessageW(&msg);
  }
  sender.join();
  ASSERT_EQ(changes_.size(), 1u);
  EXPECT_EQ(changes_[0].name, "COM9");
  EXPECT_EQ(threads_[0], ::GetCurrentThreadId());
}

TEST_F(MessageWindowNotifierTest, EndingTheRegistrationRemovesItsWindowEvenFromInsideTheHandler) {
  registration_.reset();
  EXPECT_EQ(NotifierWindow(), nullptr);

  // A handler that ends its own registration while it runs.
  std::unique_ptr<DeviceNotifier::Registration> self;
  int calls = 0;
  self = notifier_.Register([&](const DeviceChange&) {
    ++calls;
    self.reset();
  });
  ASSERT_NE(self, nullptr);
  window_ = NotifierWindow();
  auto port = Broadcast(DBT_DEVTYP_PORT, 0, L"COM1");
  Send(DBT_DEVICEARRIVAL, &port);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(self, nullptr);
  EXPECT_EQ(NotifierWindow(), nullptr);
}

TEST_F(MessageWindowNotifierTest, WhatAHandlerThrowsGoesToTheStandardReport) {
  std::vector<std::string> reports;
  toolkit::SetExceptionHandler([&](const std::string& text) { reports.push_back(text); });
  auto throwing = notifier_.Register([](const DeviceChange&) { throw toolkit::Exception("boom"); });
  ASSERT_NE(throwing, nullptr);
  const HWND second =
      NotifierWindow(window_) != nullptr ? NotifierWindow(window_) : NotifierWindow();
  auto port = Broadcast(DBT_DEVTYP_PORT, 0, L"COM3");
  ::SendMessageW(second, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(port.data()));
  toolkit::SetExceptionHandler({});
  EXPECT_EQ(reports, std::vector<std::string>{"boom."});
}

TEST_F(MessageWindowNotifierTest, EachRegistrationHasAWindowOfItsOwn) {
  std::vector<DeviceChange> second;
  auto other = notifier_.Register([&](const DeviceChange& c) { second.push_back(c); });
  ASSERT_NE(other, nullptr);
  const HWND otherWindow =
      NotifierWindow(window_) != nullptr ? NotifierWindow(window_) : NotifierWindow();
  ASSERT_NE(otherWindow, nullptr);
  ASSERT_NE(otherWindow, window_);
  auto port = Broadcast(DBT_DEVTYP_PORT, 0, L"COM2");
  ::SendMessageW(otherWindow, WM_DEVICECHANGE, DBT_DEVICEARRIVAL,
                 reinterpret_cast<LPARAM>(port.data()));
  EXPECT_EQ(second.size(), 1u);
  EXPECT_TRUE(changes_.empty());
}

TEST(SetupApiPortEnumeratorTest, ListsOnlyComPortsOfThePortsClass) {
  const std::vector<PortInfo> ports = win32::SetupApiPortEnumerator().Enumerate();
  if (ports.empty() && UnderWine()) {
    GTEST_SKIP() << "wine: SetupDiGetClassDevs lists no device of the Ports class";
  }
  for (const PortInfo& port : ports) {
    ASSERT_GE(port.name.size(), 4u) << port.name;
    EXPECT_TRUE(port.name.compare(0, 3, "COM") == 0 || port.name.compare(0, 3, "com") == 0)
        << port.name;
    EXPECT_TRUE(port.name[3] >= '0' && port.name[3] <= '9') << port.name;
  }
}

TEST(SystemServicesTest, TheMachinesServicesExist) {
  EXPECT_NE(MakeSystemPortEnumerator(), nullptr);
}

TEST(FoldersTest, TheRoamingFolderExistsAndTheProgramIsNamedAfterItsFile) {
  const std::string folder = UserAppDataFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_TRUE(std::filesystem::is_directory(FsPath(folder))) << folder;
  const std::string program = ProgramPath("ignored");
  EXPECT_TRUE(std::filesystem::is_regular_file(FsPath(program))) << program;
  EXPECT_EQ(ProgramBaseName(program), "platform_win32_test");
}

TEST(FoldersTest, CreateFolderTakesUtf8Paths) {
  WinTempDir dir;
  const std::string folder = dir / "設定/FPBFU";
  EXPECT_TRUE(CreateFolder(folder));
  EXPECT_TRUE(std::filesystem::is_directory(dir.Path() / L"設定" / L"FPBFU"));
  EXPECT_FALSE(CreateFolder(folder));
}

std::vector<std::wstring> Names(const std::filesystem::path& folder) {
  std::vector<std::wstring> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().wstring());
  std::sort(names.begin(), names.end());
  return names;
}

std::string Contents(const std::string& utf8Path) {
  std::string text;
  const HANDLE file = ::CreateFileW(toolkit::win32::Wide(utf8Path).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  char buffer[4096];
  DWORD n = 0;
  while (::ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0)
    text.append(buffer, n);
  ::CloseHandle(file);
  return text;
}

TEST(SettingsFileTest, WritesAndReadsTheValueInAFolderWithAJapaneseName) {
  WinTempDir dir(L"-ユーザー");
  const std::string path = dir / "qmr7-tool.INI";
  const IniFile settings(path);
  EXPECT_EQ(settings.ReadString("Setting", "DFU_FileName"), "");

  settings.WriteString("Setting", "DFU_FileName", "C:\\ファーム\\QMR7_124.dfu");
  EXPECT_EQ(Contents(path), "[Setting]\nDFU_FileName=C:\\ファーム\\QMR7_124.dfu\n");
  settings.WriteString("Setting", "DFU_FileName", "");
  EXPECT_EQ(settings.ReadString("Setting", "DFU_FileName", "fallback"), "");
  EXPECT_EQ(Names(dir.Path()), std::vector<std::wstring>{L"qmr7-tool.INI"});
}

TEST(SettingsFileTest, AReplacedFileKeepsItsOtherLinesAndItsLineEnds) {
  WinTempDir dir;
  const std::string path = dir / "tool.INI";
  ASSERT_FALSE(toolkit::WriteFileAtomically(
      path, "; kept\r\n[Other]\r\nkey=1\r\n[Setting]\r\nDFU_FileName=old.dfu\r\n"));
  IniFile(path).WriteString("Setting", "DFU_FileName", "new.dfu");
  EXPECT_EQ(Contents(path), "; kept\r\n[Other]\r\nkey=1\r\n[Setting]\r\nDFU_FileName=new.dfu\r\n");
  EXPECT_EQ(Names(dir.Path()), std::vector<std::wstring>{L"tool.INI"});
}

// Runs the write, which must fail, and returns its cause.
toolkit::Error FailedWrite(const std::string& path) {
  try {
    IniFile(path).WriteString("Setting", "DFU_FileName", "new.dfu");
  } catch (const IniFileError& e) {
    EXPECT_EQ(e.Message(), "Unable to write to " + path);
    return e.Cause();
  }
  ADD_FAILURE() << "the write succeeded";
  return {};
}

TEST(SettingsFileTest, AFileThatCannotBeReplacedIsReportedAndLeftAsItWas) {
  WinTempDir dir;
  // A folder where the file should be: it cannot be read, so the write does not even try to
  // replace it, and says why.
  const std::string folder = dir / "folder.INI";
  ASSERT_TRUE(CreateFolder(folder));
  const toolkit::Error cause = FailedWrite(folder);
  EXPECT_EQ(cause.op.rfind("read ", 0), 0u) << cause.op;
  EXPECT_TRUE(std::filesystem::is_directory(FsPath(folder)));
  EXPECT_EQ(Names(dir.Path()), std::vector<std::wstring>{L"folder.INI"});
}

TEST(SettingsFileTest, AReadOnlyFileIsNotReplaced) {
  if (UnderWine()) GTEST_SKIP() << "wine: MoveFileEx replaces a read-only file";
  WinTempDir dir;
  const std::string path = dir / "tool.INI";
  ASSERT_FALSE(toolkit::WriteFileAtomically(path, "[Setting]\nDFU_FileName=old.dfu\n"));
  ASSERT_TRUE(::SetFileAttributesW(toolkit::win32::Wide(path).c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(FailedWrite(path).code, ERROR_ACCESS_DENIED);
  EXPECT_EQ(Contents(path), "[Setting]\nDFU_FileName=old.dfu\n");
  EXPECT_EQ(Names(dir.Path()), std::vector<std::wstring>{L"tool.INI"});
  ::SetFileAttributesW(toolkit::win32::Wide(path).c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(AtomicFileTest, FailuresNameTheStepWithTheSystemsCodeAndText) {
  WinTempDir dir;
  const toolkit::Error missing = toolkit::WriteFileAtomically(dir / "no/such/folder/x", "data");
  EXPECT_EQ(missing.kind, toolkit::ErrorKind::OsFailure);
  EXPECT_EQ(missing.code, ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(missing.op.rfind("create ", 0), 0u) << missing.op;
  EXPECT_FALSE(missing.text.empty());
  EXPECT_NE(missing.text.back(), '.');
  EXPECT_NE(missing.text.back(), '\n');

  const std::string kept = dir / "backup.json";
  ASSERT_FALSE(toolkit::WriteFileAtomically(kept, "first", 0644, toolkit::Existing::Keep));
  const toolkit::Error exists =
      toolkit::WriteFileAtomically(kept, "second", 0644, toolkit::Existing::Keep);
  EXPECT_EQ(exists.code, EEXIST);
  EXPECT_EQ(Contents(kept), "first");
  EXPECT_EQ(Names(dir.Path()), std::vector<std::wstring>{L"backup.json"});
}

}  // namespace
}  // namespace platform
