#include "tests/app/MainformTestFixture.h"

#include "toolkit/Application.h"
#include "toolkit/qt/QtApplication.h"

namespace app::testing {

void MainformTest::SetUpTestSuite() {
  static int argc = 1;
  static char name[] = "app_window_test";
  static char* argv[] = {name, nullptr};
  if (QApplication::instance() == nullptr) new toolkit::qt::QtApplication(argc, argv);
}

void MainformTest::SetUp() {
  resources::SetLanguage(resources::Language::English);
  TMajorForm::ResetFirstShowForTesting();
  toolkit::SetExceptionHandler([this](const std::string& text) { reports.push_back(text); });
}

void MainformTest::TearDown() {
  toolkit::SetExceptionHandler({});
  resources::SetLanguage(resources::Language::English);
}

std::unique_ptr<TMajorForm> MainformTest::MakeForm(const std::string& programPath) {
  return std::make_unique<TMajorForm>(
      MajorFormServices{clock, ui, dispatcher, ports, notifier, programPath, appDataFolder});
}

std::string MainformTest::SettingsFile(const std::string& baseName) const {
  return appDataFolder + "/FPBFU/" + baseName + ".INI";
}

toolkit::testing::ShownBox MainformTest::Box(resources::TextId text, resources::TextId caption,
                                             unsigned flags) const {
  return {resources::LoadText(text), resources::LoadText(caption), flags};
}

}  // namespace app::testing
