// The tool as the start-up benchmark runs it: the program's own start-up, step for step as in
// app/main.cpp, with the ready report on the window. Keep the two alike.
#include <QLocale>
#include <cstdlib>

#include "ReadyReport.h"
#include "app/Mainform.h"
#include "app/SystemUsb.h"
#include "platform/Folders.h"
#include "platform/PollingDeviceNotifier.h"
#include "platform/UdevPortEnumerator.h"
#include "platform/UiLanguage.h"
#include "resources/TextCatalog.h"
#include "toolkit/Application.h"
#include "toolkit/qt/QtApplication.h"
#include "toolkit/qt/QtClock.h"
#include "toolkit/qt/QtDispatcher.h"
#include "toolkit/qt/QtUiServices.h"

int main(int argc, char** argv) {
  const int fd = bench::ReadyReport::FdFromArguments(argc, argv);
  int qtArgc = 1;
  toolkit::qt::QtApplication application(qtArgc, argv);
  resources::SetLanguage(platform::DetectUiLanguage(
      [](const char* name) { return std::getenv(name); }, QLocale::system().name().toStdString()));

  toolkit::qt::QtUiServices ui;
  std::string title = resources::LoadText(resources::kTextAppTitle);
  toolkit::SetExceptionHandler([&](const std::string& text) {
    ui.ShowMessageBox(text, title, toolkit::mb::kOk | toolkit::mb::kIconError);
  });

  toolkit::qt::QtClock clock;
  toolkit::qt::QtDispatcher dispatcher;
  const platform::VirtualDeviceRegistry registry;
  platform::SystemPortEnumerator ports(registry);
  platform::PollingDeviceNotifier notifier(dispatcher, [&registry] {
    std::vector<std::unique_ptr<platform::EventSource>> sources;
    if (auto udev = platform::MakeUdevEventSource()) sources.push_back(std::move(udev));
    if (auto virtuals = platform::MakeRegistryEventSource(registry)) {
      sources.push_back(std::move(virtuals));
    }
    return sources;
  });
  app::SystemUpgradeEngine engine;
  int code = 0;
  try {
    app::TMajorForm form({clock, ui, dispatcher, ports, notifier,
                          platform::ProgramPath(argc > 0 ? argv[0] : "qmr7-tool"),
                          platform::UserAppDataFolder(), &engine, app::ScanSystemUsbTree});
    title = form.ApplicationTitle;
    ui.SetOwner(&form);
    bench::ReadyReport report(form, fd);
    form.show();
    code = application.exec();
    dispatcher.Shutdown();
    ui.SetOwner(nullptr);
  } catch (...) {
    ui.SetOwner(nullptr);
    toolkit::HandleException(std::current_exception());
  }
  toolkit::SetExceptionHandler({});
  return code;
}
