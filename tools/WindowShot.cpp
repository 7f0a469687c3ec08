// qmr7-window-shot: pictures of the main window.
//
//   qmr7-window-shot LANG OUT.png [PAGE|upgrade]
//     the window as it looks after start-up, in English (en) or Japanese (ja), with two sample
//     ports listed and page PAGE (0 to 3) in front; or, with "upgrade", in the middle of a
//     firmware download driven by a scripted engine. It touches no device and no settings of the
//     user.
//   qmr7-window-shot --headset OUT.png
//     the window working: the virtual headset runs as a program of its own (qmr7-sim); this waits
//     until the headset is listed, shows the window in the user's language, presses Open on the
//     preselected line and saves the picture once the firmware version shows. Message boxes are
//     answered as their default button would be and written to standard error.
//
// Runs on any Qt platform, offscreen included; the settings file goes to a temporary folder.
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLocale>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "app/Mainform.h"
#include "platform/DeviceNotifier.h"
#include "platform/IniFile.h"
#include "platform/PortEnumerator.h"
#include "platform/UdevPortEnumerator.h"
#include "platform/UiLanguage.h"
#include "platform/VirtualDeviceRegistry.h"
#include "resources/TextCatalog.h"
#include "toolkit/Application.h"
#include "toolkit/Dispatcher.h"
#include "toolkit/qt/QtApplication.h"
#include "toolkit/qt/QtClock.h"
#include "toolkit/qt/QtDispatcher.h"
#include "toolkit/qt/Text.h"
#include "toolkit/testing/ManualClock.h"
#include "toolkit/testing/ScriptedUiServices.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kHeadsetLimit = 10s;
constexpr auto kReadLimit = 15s;

int Usage() {
  std::fprintf(stderr,
               "usage: qmr7-window-shot en|ja OUT.png [PAGE|upgrade]\n"
               "       qmr7-window-shot --headset OUT.png\n");
  return 2;
}

int Save(QWidget& window, const char* path) {
  if (!window.grab().save(QString::fromLocal8Bit(path))) {
    std::fprintf(stderr, "qmr7-window-shot: cannot write %s\n", path);
    return 1;
  }
  std::printf("%s\n", path);
  return 0;
}

// Runs the event loop until `done` holds; false if that takes longer than `limit`.
bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  QElapsedTimer elapsed;
  elapsed.start();
  QEventLoop loop;
  QTimer check;
  bool held = done();
  QObject::connect(&check, &QTimer::timeout, [&] {
    held = done();
    if (held || elapsed.elapsed() > limit.count()) loop.quit();
  });
  if (!held) {
    check.start(20);
    loop.exec();
  }
  return held;
}

bool ListsAHeadset(platform::PortEnumerator& ports) {
  for (const auto& port : ports.Enumerate()) {
    if (QString::fromStdString(port.description).startsWith("USB", Qt::CaseInsensitive)) {
      return true;
    }
  }
  return false;
}

// An engine that answers at once: the device is there, reconfiguring ends well, and the download
// reports the progress the picture shows.
class ScriptedEngine final : public app::UpgradeEngine {
 public:
  DFUEngineHandle Create() override { return 1; }
  void Destroy(DFUEngineHandle) override {}
  std::uint32_t GetUSBDeviceNames(DFUEngineHandle, char* names) override {
    std::strcpy(names, "usb:1-2");
    return 1;
  }
  void SetCallback(DFUEngineHandle, DFUEngineCallback callback) override { callback_ = callback; }
  bool CreateUSB(DFUEngineHandle, const std::string&) override { return true; }
  bool StartReconfigure(DFUEngineHandle, std::uint32_t, std::uint32_t,
                        const std::string&) override {
    const DFUEngineReport end{28, 100, 4, 0, 0, 0, 0};
    callback_(DFUENGINE_REPORT_RESULT, &end);
    return true;
  }
  bool StartDownload(DFUEngineHandle, const std::string&) override {
    const DFUEngineReport progress{28, 57, 9, 0, 0, 0, 0};
    callback_(DFUENGINE_REPORT_PROGRESS, &progress);
    return true;
  }

 private:
  DFUEngineCallback callback_ = nullptr;
};

// Start, one poll into the download, and 83 s on the clock.
void DriveToDownload(app::TMajorForm& form, toolkit::testing::ManualClock& clock,
                     toolkit::DispatchQueue& dispatcher) {
  form.PageControl1->SetActivePageIndex(3);
  form.StartUpgrade();
  clock.Advance(83000);
  dispatcher.Pump();
}

int SampleShot(const char* language, const char* out, const char* page) {
  resources::SetLanguage(std::strcmp(language, "ja") == 0 ? resources::Language::Japanese
                                                          : resources::Language::English);
  QTemporaryDir settings;
  toolkit::testing::ManualClock clock;
  toolkit::testing::ScriptedUiServices ui;
  toolkit::DispatchQueue dispatcher;
  platform::FixedPortEnumerator ports(
      {{"/dev/ttyS0", "Serial Port (ttyS0)"},
       {"/dev/ttyACM0", "USB Serial Device (QM-R7 virtual headset)"}});
  platform::ManualDeviceNotifier notifier;
  const bool upgrade = page != nullptr && std::strcmp(page, "upgrade") == 0;
  ScriptedEngine engine;
  if (upgrade) {
    // The firmware file a previous run chose, as the settings file remembers it.
    const std::string folder = settings.path().toStdString() + "/FPBFU";
    QDir().mkpath(QString::fromStdString(folder));
    platform::IniFile(folder + "/qmr7-tool.INI")
        .WriteString("Setting", "DFU_FileName", "/home/user/firmware/QMR7_124.dfu");
  }
  app::TMajorForm form({clock,
                        ui,
                        dispatcher,
                        ports,
                        notifier,
                        "qmr7-tool",
                        settings.path().toStdString(),
                        upgrade ? &engine : nullptr,
                        [] { return std::string("FW:QMR7_123.XPV PSR:QMR7_123.PSR"); },
                        {}});
  form.show();
  if (upgrade) {
    DriveToDownload(form, clock, dispatcher);
  } else if (page != nullptr) {
    form.PageControl1->SetActivePageIndex(std::atoi(page));
  }
  QApplication::processEvents();
  return Save(form, out);
}

int HeadsetShot(const char* out) {
  resources::SetLanguage(platform::DetectUiLanguage(
      [](const char* name) { return std::getenv(name); }, QLocale::system().name().toStdString()));
  toolkit::SetExceptionHandler(
      [](const std::string& text) { std::fprintf(stderr, "error: %s\n", text.c_str()); });

  QTemporaryDir settings;
  toolkit::qt::QtClock clock;
  toolkit::qt::QtDispatcher dispatcher;
  toolkit::testing::ScriptedUiServices ui;
  ui.onBox = [](const toolkit::testing::ShownBox& box) {
    std::fprintf(stderr, "message: %s: %s\n", box.caption.c_str(), box.text.c_str());
  };
  platform::SystemPortEnumerator ports{platform::VirtualDeviceRegistry()};
  platform::ManualDeviceNotifier notifier;

  if (!RunUntil([&] { return ListsAHeadset(ports); }, kHeadsetLimit)) {
    std::fprintf(stderr, "qmr7-window-shot: no headset is listed; is qmr7-sim running?\n");
    return 1;
  }
  int status = 0;
  {
    app::TMajorForm form({clock,
                          ui,
                          dispatcher,
                          ports,
                          notifier,
                          "qmr7-tool",
                          settings.path().toStdString(),
                          nullptr,
                          {},
                          {}});
    form.show();
    auto* open = form.findChild<QPushButton*>(QStringLiteral("OpenComPortButton"));
    auto* version = form.findChild<QLabel*>(QStringLiteral("FWVerLabel"));
    open->click();
    const bool read = RunUntil(
        [&] { return !version->text().isEmpty() && form.PendingCommand == app::kIdleCommand; },
        kReadLimit);
    if (!read) {
      std::fprintf(stderr, "qmr7-window-shot: the headset's settings were not read\n");
      status = 1;
    } else {
      std::fprintf(stderr, "%s\n", toolkit::qt::S(version->text()).c_str());
      status = Save(form, out);
    }
    // Workers still handing calls over must not wait for a loop that no longer runs.
    dispatcher.Shutdown();
  }
  toolkit::SetExceptionHandler({});
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const bool headset = argc == 3 && std::strcmp(argv[1], "--headset") == 0;
  const bool sample = (argc == 3 || argc == 4) &&
                      (std::strcmp(argv[1], "en") == 0 || std::strcmp(argv[1], "ja") == 0);
  if (!headset && !sample) return Usage();
  toolkit::qt::QtApplication application(argc, argv);
  if (headset) return HeadsetShot(argv[2]);
  return SampleShot(argv[1], argv[2], argc == 4 ? argv[3] : nullptr);
}
