#include "app/Program.h"

#include <QFont>
#include <QGuiApplication>
#include <QLocale>
#include <cstdio>

#include "app/Mainform.h"
#include "app/SystemUsb.h"
#include "platform/Folders.h"
#include "platform/System.h"
#include "platform/UiLanguage.h"
#include "resources/TextCatalog.h"
#include "toolkit/Application.h"
#include "toolkit/qt/QtApplication.h"
#include "toolkit/qt/QtClock.h"
#include "toolkit/qt/QtDispatcher.h"
#include "toolkit/qt/QtUiServices.h"

namespace app {

void NameTheApplication() {
  // The window's own title holds the version too; the entry's name is text 20001 alone.
  QGuiApplication::setDesktopFileName(QStringLiteral(QMR7_APP_ID));
}

int RunTool(int& argc, char** argv, const std::function<void(TMajorForm&)>& beforeShow) {
  toolkit::qt::QtApplication application(argc, argv);
  NameTheApplication();
  resources::SetLanguage(platform::SystemUiLanguage(QLocale::system().name().toStdString()));
  // A Japanese question with English buttons would mix the two languages.
  if (resources::ActiveLanguage() == resources::Language::Japanese &&
      !application.UseQtTexts(QStringLiteral("ja"))) {
    std::fprintf(stderr,
                 "qmr7-tool: Qt's Japanese texts are not installed; its buttons and menus stay in "
                 "English.\n");
  }
  {
    // Every text of the tool, its message boxes too, is in the language's font: the only font
    // start-up loads.
    QFont font = QGuiApplication::font();
    TMajorForm::LanguageFont(font);
    QGuiApplication::setFont(font);
  }

  toolkit::qt::QtUiServices ui;
  std::string title = resources::LoadText(resources::kTextAppTitle);
  // The standard exception report: the message under the application's title, as an error.
  toolkit::SetExceptionHandler([&](const std::string& text) {
    ui.ShowMessageBox(text, title, toolkit::mb::kOk | toolkit::mb::kIconError);
  });

  toolkit::qt::QtClock clock;
  toolkit::qt::QtDispatcher dispatcher;
  const std::unique_ptr<platform::PortEnumerator> ports = platform::MakeSystemPortEnumerator();
  const std::unique_ptr<platform::DeviceNotifier> notifier =
      platform::MakeSystemDeviceNotifier(dispatcher);
  app::SystemUpgradeEngine engine;
  int code = 0;
  try {
    app::TMajorForm form({clock, ui, dispatcher, *ports, *notifier,
                          platform::ProgramPath(argc > 0 ? argv[0] : "qmr7-tool"),
                          platform::UserAppDataFolder(), &engine, app::ScanSystemUsbTree,
                          app::SystemHeadsetInDfuMode});
    title = form.ApplicationTitle;
    ui.SetOwner(&form);
    if (beforeShow) beforeShow(form);
    form.show();
    code = application.exec();
    // Workers still handing calls over to this thread must not wait for it any more.
    dispatcher.Shutdown();
    ui.SetOwner(nullptr);
  } catch (...) {
    ui.SetOwner(nullptr);
    toolkit::HandleException(std::current_exception());
  }
  toolkit::SetExceptionHandler({});
  return code;
}

}  // namespace app
