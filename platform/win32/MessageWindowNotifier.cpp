#include "platform/win32/MessageWindowNotifier.h"

#include <windows.h>
// After windows.h, which it needs.
#include <dbt.h>

#include <memory>
#include <mutex>

#include "platform/DeviceBroadcast.h"
#include "toolkit/Application.h"

namespace platform::win32 {
namespace {

constexpr GUID kUsbDeviceInterface = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

using SharedHandler = std::shared_ptr<DeviceNotifier::Handler>;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

ATOM WindowClass() {
  static ATOM atom = 0;
  static std::once_flag once;
  std::call_once(once, [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = kNotifierWindowClass;
    atom = ::RegisterClassExW(&wc);
  });
  return atom;
}

class Watch final : public DeviceNotifier::Registration {
 public:
  explicit Watch(DeviceNotifier::Handler handler)
      : handler_(std::make_shared<DeviceNotifier::Handler>(std::move(handler))) {}

  ~Watch() override {
    if (notification_ != nullptr) ::UnregisterDeviceNotification(notification_);
    if (window_ != nullptr) {
      // A message still being dispatched finds no watch behind the window.
      ::SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
      ::DestroyWindow(window_);
    }
  }

  bool Start() {
    if (WindowClass() == 0) return false;
    // Top-level, for the port broadcasts the system sends only to top-level windows; never shown,
    // and a tool window, so nothing lists it should it be.
    window_ =
        ::CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, kNotifierWindowClass, L"", WS_POPUP,
                          0, 0, 0, 0, nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
    // Where no desktop takes top-level windows, a message-only one still hears the USB interface
    // changes.
    if (window_ == nullptr) {
      window_ = ::CreateWindowExW(0, kNotifierWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, ::GetModuleHandleW(nullptr), nullptr);
    }
    if (window_ == nullptr) return false;
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kUsbDeviceInterface;
    notification_ = ::RegisterDeviceNotificationW(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    return notification_ != nullptr;
  }

  SharedHandler Handler() const { return handler_; }

 private:
  SharedHandler handler_;
  HWND window_ = nullptr;
  HDEVNOTIFY notification_ = nullptr;
};

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_DEVICECHANGE) return ::DefWindowProcW(window, message, wParam, lParam);
  const auto* watch = reinterpret_cast<const Watch*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (watch == nullptr) return TRUE;
  const auto* record = reinterpret_cast<const unsigned char*>(lParam);
  const std::size_t size = DeviceBroadcastSize(record);
  const auto change = DecodeDeviceBroadcast(static_cast<unsigned>(wParam),
                                            std::span<const unsigned char>(record, size));
  if (!change) return TRUE;
  // Held here: the handler may end its own registration, and with it the watch. What it throws
  // goes to the standard report: an exception must not cross the window procedure.
  const SharedHandler handler = watch->Handler();
  if (*handler) toolkit::RunGuarded([&] { (*handler)(*change); });
  return TRUE;
}

}  // namespace

std::unique_ptr<DeviceNotifier::Registration> MessageWindowNotifier::Register(Handler handler) {
  auto watch = std::make_unique<Watch>(std::move(handler));
  if (!watch->Start()) return nullptr;
  return watch;
}

}  // namespace platform::win32
