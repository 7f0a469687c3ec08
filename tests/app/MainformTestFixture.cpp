#include "tests/app/MainformTestFixture.h"

#include "tests/support/QtTestApp.h"
#include "toolkit/Application.h"

namespace app::testing {

void MainformTest::SetUpTestSuite() {
  testsupport::EnsureQtApplication();
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
  return std::make_unique<TMajorForm>(MajorFormServices{clock, ui, dispatcher, ports, notifier,
                                                        programPath, appDataFolder, engine,
                                                        scanUsbTree, headsetInDfuMode});
}

std::string MainformTest::SettingsFile(const std::string& baseName) const {
  return appDataFolder + "/FPBFU/" + baseName + ".INI";
}

toolkit::testing::ShownBox MainformTest::Box(resources::TextId text, resources::TextId caption,
                                             unsigned flags) const {
  return {resources::LoadText(text), resources::LoadText(caption), flags};
}

}  // namespace app::testing
