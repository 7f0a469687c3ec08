// The main window on Qt's offscreen platform, with a manual clock, scripted message boxes, a
// fixed port list and a private application-data folder.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "app/Mainform.h"
#include "platform/DeviceNotifier.h"
#include "platform/PortEnumerator.h"
#include "resources/TextCatalog.h"
#include "tests/support/TempDir.h"
#include "toolkit/Dispatcher.h"
#include "toolkit/testing/ManualClock.h"
#include "toolkit/testing/ScriptedUiServices.h"

namespace app::testing {

class MainformTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  void SetUp() override;
  void TearDown() override;

  // A window as the program creates it, named `programPath` for its settings file.
  std::unique_ptr<TMajorForm> MakeForm(const std::string& programPath = "/usr/bin/qmr7-tool");
  std::string SettingsFile(const std::string& baseName = "qmr7-tool") const;

  // Boxes shown so far, as (text id, caption id, flags) would show them in the active language.
  toolkit::testing::ShownBox Box(resources::TextId text, resources::TextId caption,
                                 unsigned flags) const;

  toolkit::testing::ManualClock clock;
  toolkit::testing::ScriptedUiServices ui;
  toolkit::DispatchQueue dispatcher;
  platform::FixedPortEnumerator ports;
  platform::ManualDeviceNotifier notifier;
  testsupport::TempDir appData;
  std::string appDataFolder = appData.Path();
  std::vector<std::string> reports;  // the standard exception report
  // The engine and USB walk the window gets; none: the system's engine, and no walk.
  UpgradeEngine* engine = nullptr;
  std::function<std::string()> scanUsbTree;
  // The look for a headset waiting in DFU mode; none: never one.
  std::function<bool(std::span<const dfu::DeviceIds>)> headsetInDfuMode;
};

}  // namespace app::testing
