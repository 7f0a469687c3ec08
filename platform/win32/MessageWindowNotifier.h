// Device arrivals and removals on Windows: each registration is a hidden top-level window of its
// own, registered with RegisterDeviceNotification for the USB device interface class, whose
// device-change messages are decoded (platform/DeviceBroadcast.h) and handed to the handler. Being
// top-level (a message-only window would not be), it also hears the port broadcasts the system
// sends to every top-level window, which name the port ("COM4").
//
// The window belongs to the thread that registers, and the handler runs there, inside that
// thread's message dispatch: register on the UI thread, whose message loop (Qt's included)
// dispatches the window's messages.
#pragma once

#include "platform/DeviceNotifier.h"

namespace platform::win32 {

// {A5DCBF10-6530-11D2-901F-00C04FB951ED}: the class of USB device interfaces.
inline constexpr char kUsbDeviceInterfaceClass[] = "{A5DCBF10-6530-11D2-901F-00C04FB951ED}";
// The window class of the registrations' windows, for finding them (tests do).
inline constexpr wchar_t kNotifierWindowClass[] = L"qmr7-device-notifier";

class MessageWindowNotifier final : public DeviceNotifier {
 public:
  // Null when the window or the registration could not be made.
  std::unique_ptr<Registration> Register(Handler handler) override;
};

}  // namespace platform::win32
