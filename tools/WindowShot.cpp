// qmr7-window-shot LANG OUT.png [PAGE|upgrade]: draws the main window as it looks after start-up,
// in English (en) or Japanese (ja), with two sample ports listed and page PAGE (0 to 3) in front;
// or, with "upgrade", in the middle of a firmware download, driven by a scripted engine. Runs on
// any Qt platform, offscreen included; it touches no device and no settings of the user.
#include <QDir>
#include <QPixmap>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/Mainform.h"
#include "platform/DeviceNotifier.h"
#include "platform/IniFile.h"
#include "platform/PortEnumerator.h"
#include "resources/TextCatalog.h"
#include "toolkit/Dispatcher.h"
#include "toolkit/qt/QtApplication.h"
#include "toolkit/testing/ManualClock.h"
#include "toolkit/testing/ScriptedUiServices.h"

namespace {

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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4 ||
      (std::strcmp(argv[1], "en") != 0 && std::strcmp(argv[1], "ja") != 0)) {
    std::fprintf(stderr, "usage: qmr7-window-shot en|ja OUT.png [PAGE]\n");
    return 2;
  }
  toolkit::qt::QtApplication application(argc, argv);
  resources::SetLanguage(std::strcmp(argv[1], "ja") == 0 ? resources::Language::Japanese
                                                         : resources::Language::English);
  QTemporaryDir settings;
  toolkit::testing::ManualClock clock;
  toolkit::testing::ScriptedUiServices ui;
  toolkit::DispatchQueue dispatcher;
  platform::FixedPortEnumerator ports(
      {{"/dev/ttyS0", "Serial Port (ttyS0)"},
       {"/dev/ttyACM0", "USB Serial Device (QM-R7 virtual headset)"}});
  platform::ManualDeviceNotifier notifier;
  const bool upgrade = argc == 4 && std::strcmp(argv[3], "upgrade") == 0;
  ScriptedEngine engine;
  if (upgrade) {
    // The firmware file a previous run chose, as the settings file remembers it.
    const std::string folder = settings.path().toStdString() + "/FPBFU";
    QDir().mkpath(QString::fromStdString(folder));
    platform::IniFile(folder + "/qmr7-tool.INI")
        .WriteString("Setting", "DFU_FileName", "/home/user/firmware/QMR7_124.dfu");
  }
  app::TMajorForm form({clock, ui, dispatcher, ports, notifier, "qmr7-tool",
                        settings.path().toStdString(), upgrade ? &engine : nullptr,
                        [] { return std::string("FW:QMR7_123.XPV PSR:QMR7_123.PSR"); }});
  form.show();
  if (upgrade) {
    DriveToDownload(form, clock, dispatcher);
  } else if (argc == 4) {
    form.PageControl1->SetActivePageIndex(std::atoi(argv[3]));
  }
  QApplication::processEvents();
  if (!form.grab().save(QString::fromLocal8Bit(argv[2]))) {
    std::fprintf(stderr, "qmr7-window-shot: cannot write %s\n", argv[2]);
    return 1;
  }
  std::printf("%s\n", argv[2]);
  return 0;
}
