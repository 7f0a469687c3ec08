// The real Windows backends of the USB walk and the DFU transport. Wine has no USB: there they can
// only be seen to fail as they should; on Windows what they find depends on what is attached.
#include <gtest/gtest.h>
#include <windows.h>

#include "upgrade/DfuTransport.h"
#include "upgrade/UsbEnum.h"
#include "upgrade/UsbIoctl.h"

namespace {

bool UnderWine() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TEST(Win32UsbIo, OpensOnlyWhatExistsAndReportsAFailedRequest) {
  const auto io = usbioctl::MakeWin32UsbIo();
  EXPECT_EQ(io->Open("\\\\.\\QMR7-no-such-device"), nullptr);
  // The null device opens for writing but knows no hub request.
  const auto device = io->Open("\\\\.\\NUL");
  ASSERT_NE(device, nullptr);
  std::vector<std::uint8_t> record(usbioctl::kNodeInformationSize);
  EXPECT_FALSE(device->Control(usbioctl::kGetNodeInformation, record, record.size()));
  EXPECT_NE(device->LastError(), 0u);
}

TEST(Win32UsbIo, TheWalkOfThisMachine) {
  if (!UnderWine()) GTEST_SKIP() << "Windows: what the walk finds depends on what is attached";
  EXPECT_FALSE(usbenum::WalkSystemUsb().Found());
}

TEST(Win32UsbIo, TheDriverCheckOfThisMachine) {
  if (!UnderWine()) GTEST_SKIP() << "Windows: what the check finds depends on what is attached";
  // The configuration manager answers, with no headset among its USB nodes.
  EXPECT_EQ(usbenum::CheckSystemHeadsetDriver().verdict, dfu::winusb::HeadsetOnUsb::Absent);
}

TEST(WinUsbTransport, NamesItOwnsAndADeviceThatIsNotThere) {
  const auto transport = dfu::MakeWinUsbTransport();
  EXPECT_TRUE(transport->Owns("usb:USB\\ROOT_HUB30\\4&1A2B3C&0&0/2"));
  EXPECT_FALSE(transport->Owns("sim:1"));
  dfu::UsbError error;
  EXPECT_EQ(transport->Open("usb:USB\\ROOT_HUB30\\0&0&0&0/99", error), nullptr);
  EXPECT_EQ(error.kind, toolkit::ErrorKind::DeviceGone);
  if (UnderWine()) {
    EXPECT_TRUE(transport->List().empty());
  }
}

}  // namespace
