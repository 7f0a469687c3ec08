// The tool's window as the program builds it (app/Program.cpp): Qt's clock and dispatcher, the
// machine's port list with the virtual-device registry, the device-change notifier on udev and the
// registry, the system's USB walk and DFU engine. It runs on Qt's offscreen platform; its message
// boxes are answered at once and counted instead of shown, the only difference from the program.
//
// Create it after the application object, on the UI thread.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "app/Mainform.h"
#include "app/SystemUsb.h"
#include "platform/PollingDeviceNotifier.h"
#include "platform/UdevPortEnumerator.h"
#include "platform/VirtualDeviceRegistry.h"
#include "tests/reliability/Reliability.h"
#include "toolkit/UiServices.h"
#include "toolkit/qt/QtClock.h"
#include "toolkit/qt/QtDispatcher.h"

namespace reliability {

// Message boxes answered OK (No for a question) and counted by text, with no record that grows:
// the soak runs for hours' worth of boxes.
class CountingUi final : public toolkit::UiServices {
 public:
  int ShowMessageBox(const std::string& text, const std::string& caption, unsigned flags) override;
  std::optional<std::string> OpenFileDialog(const toolkit::FileDialogRequest&) override {
    return std::nullopt;
  }
  toolkit::Cursor CurrentCursor() override { return cursor_; }
  void SetCursor(toolkit::Cursor cursor) override { cursor_ = cursor; }
  toolkit::KeyboardState KeyboardSnapshot() override { return {}; }

  int Boxes() const { return boxes_; }
  const std::string& LastText() const { return lastText_; }
  // How often each text was shown; the catalogue's texts are few, so this stays small.
  const std::map<std::string, int>& ByText() const { return byText_; }

 private:
  int boxes_ = 0;
  std::string lastText_;
  std::map<std::string, int> byText_;
  toolkit::Cursor cursor_ = toolkit::Cursor::Default;
};

class ToolWindow {
 public:
  // `registry` is where the virtual headset registers; `appData` stands for the user's
  // application-data folder.
  ToolWindow(const platform::VirtualDeviceRegistry& registry, const std::string& appData);
  ~ToolWindow();

  app::TMajorForm& Form() { return *form_; }
  CountingUi& Ui() { return ui_; }

  // Runs the event loop until `done` holds; false when `bound` passed first.
  bool PumpUntil(const std::function<bool()>& done, Clock::duration bound);
  // Runs the event loop for `time`.
  void PumpFor(Clock::duration time);

  // Every byte the window has read from its port, counted through the port's AfterRead event.
  long long BytesReceived() const { return received_; }
  // Where the bytes read go as well, from now on; nullptr for nowhere.
  void CaptureInto(std::string* sink) { capture_ = sink; }

 private:
  CountingUi ui_;
  toolkit::qt::QtClock clock_;
  toolkit::qt::QtDispatcher dispatcher_;
  platform::SystemPortEnumerator ports_;
  platform::PollingDeviceNotifier notifier_;
  app::SystemUpgradeEngine engine_;
  std::unique_ptr<app::TMajorForm> form_;
  long long received_ = 0;
  std::string* capture_ = nullptr;
};

}  // namespace reliability
