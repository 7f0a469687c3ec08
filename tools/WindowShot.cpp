// qmr7-window-shot LANG OUT.png [PAGE]: draws the main window as it looks after start-up, in
// English (en) or Japanese (ja), with two sample ports listed and page PAGE (0 to 3) in front. Runs
// on any Qt platform, offscreen included; it touches no device and no settings of the user.
#include <QPixmap>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/Mainform.h"
#include "platform/DeviceNotifier.h"
#include "platform/PortEnumerator.h"
#include "resources/TextCatalog.h"
#include "toolkit/Dispatcher.h"
#include "toolkit/qt/QtApplication.h"
#include "toolkit/testing/ManualClock.h"
#include "toolkit/testing/ScriptedUiServices.h"

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
  app::TMajorForm form({clock,
                        ui,
                        dispatcher,
                        ports,
                        notifier,
                        "qmr7-tool",
                        settings.path().toStdString(),
                        nullptr,
                        {}});
  if (argc == 4) form.PageControl1->SetActivePageIndex(std::atoi(argv[3]));
  form.show();
  QApplication::processEvents();
  if (!form.grab().save(QString::fromLocal8Bit(argv[2]))) {
    std::fprintf(stderr, "qmr7-window-shot: cannot write %s\n", argv[2]);
    return 1;
  }
  std::printf("%s\n", argv[2]);
  return 0;
}
