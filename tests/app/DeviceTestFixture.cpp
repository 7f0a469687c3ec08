#include "tests/app/DeviceTestFixture.h"

#include <QCoreApplication>

#include "tests/support/PumpUntil.h"
#include "toolkit/qt/Text.h"

namespace app::testing {

using namespace std::chrono_literals;

void DeviceTest::TearDown() {
  form.reset();
  pacer.Open();
  headset.reset();
  MainformTest::TearDown();
}

void DeviceTest::StartHeadset(const std::string& faults, sim::Settings settings) {
  registry.EnsureDirectory();
  sim::VirtualHeadset::Options options;
  for (const auto& fault : QString::fromStdString(faults).split(',', Qt::SkipEmptyParts)) {
    ASSERT_EQ(sim::AddFault(fault.toStdString(), options.faults), "");
  }
  options.registry = &registry;
  options.pacer = pacer.Pacer();
  options.upgradeMode = upgradeMode;
  sim::HeadsetState state;
  state.settings = std::move(settings);
  state.info = headsetInfo;
  headset = std::make_unique<sim::VirtualHeadset>(state, options);
}

void DeviceTest::StartWindow() {
  form = std::make_unique<TMajorForm>(
      MajorFormServices{clock, ui, dispatcher, systemPorts, notifier, "/usr/bin/qmr7-tool",
                        appDataFolder, engine, scanUsbTree, headsetInDfuMode});
  form->show();
  // Past the first-show prompt, so the boxes a test sees are its own.
  clock.Advance(100);
  ui.boxes.clear();
}

void DeviceTest::OpenPort() {
  // The headset's line is preselected: it is the one USB port.
  ASSERT_GE(form->ComPortListBox->currentRow(), 0);
  ASSERT_EQ(form->PortNames[static_cast<std::size_t>(form->ComPortListBox->currentRow())],
            headset->SlavePath());
  form->OpenComPortButton->click();
}

void DeviceTest::OpenAndRead() {
  OpenPort();
  ASSERT_TRUE(form->PortReady);
  ASSERT_TRUE(PumpUntilIdle());
}

bool DeviceTest::PumpUntil(const std::function<bool()>& done) {
  return testsupport::PumpUntil(
      [this] {
        dispatcher.WaitAndPump(5ms);
        QCoreApplication::processEvents();
      },
      done);
}

}  // namespace app::testing
