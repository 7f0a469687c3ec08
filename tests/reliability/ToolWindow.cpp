#include "tests/reliability/ToolWindow.h"

#include <QCoreApplication>
#include <QTimer>

#include "toolkit/Application.h"

namespace reliability {

int CountingUi::ShowMessageBox(const std::string& text, const std::string& /*caption*/,
                               unsigned flags) {
  ++boxes_;
  lastText_ = text;
  ++byText_[text];
  return (flags & toolkit::mb::kButtonsMask) == toolkit::mb::kYesNo ? toolkit::mb::kIdNo
                                                                    : toolkit::mb::kIdOk;
}

ToolWindow::ToolWindow(const platform::VirtualDeviceRegistry& registry, const std::string& appData)
    : ports_(registry), notifier_(dispatcher_, [registry] {
        std::vector<std::unique_ptr<platform::EventSource>> sources;
        if (auto udev = platform::MakeUdevEventSource()) sources.push_back(std::move(udev));
        if (auto virtuals = platform::MakeRegistryEventSource(registry)) {
          sources.push_back(std::move(virtuals));
        }
        return sources;
      }) {
  // The standard exception report, as a box like any other.
  toolkit::SetExceptionHandler([this](const std::string& text) {
    ui_.ShowMessageBox(text, "exception", toolkit::mb::kOk | toolkit::mb::kIconError);
  });
  form_ = std::make_unique<app::TMajorForm>(app::MajorFormServices{clock_,
                                                                   ui_,
                                                                   dispatcher_,
                                                                   ports_,
                                                                   notifier_,
                                                                   "/usr/bin/qmr7-tool",
                                                                   appData,
                                                                   &engine_,
                                                                   app::ScanSystemUsbTree,
                                                                   {}});
  form_->ComPort1->SetAfterRead(
      [this](toolkit::Component*, const void* buffer, int count, bool /*waited*/) {
        received_ += count;
        if (capture_ != nullptr)
          capture_->append(static_cast<const char*>(buffer), static_cast<std::size_t>(count));
      });
}

ToolWindow::~ToolWindow() {
  form_.reset();
  dispatcher_.Shutdown();
  toolkit::SetExceptionHandler({});
}

bool ToolWindow::PumpUntil(const std::function<bool()>& done, Clock::duration bound) {
  const auto deadline = Clock::now() + bound;
  // Wakes the loop now and then, so the bound holds when nothing else happens.
  QTimer guard;
  guard.start(50);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    // What the program's loop does when a handler returns to it: objects given up with
    // deleteLater() go. processEvents() alone keeps those of its own level for ever.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  return true;
}

void ToolWindow::PumpFor(Clock::duration time) {
  const auto until = Clock::now() + time;
  PumpUntil([&] { return Clock::now() >= until; }, time + std::chrono::seconds(1));
}

}  // namespace reliability
