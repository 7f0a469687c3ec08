// The component's Qt side: the line-settings dialog and the signal lamp, on the offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QTimer>
#include <memory>

#include "comport/qt/ComConfigForm.h"
#include "comport/qt/SignalLamp.h"
#include "tests/support/QtTestApp.h"
#include "toolkit/testing/ManualClock.h"

namespace comport::qt {
namespace {

class ComQtTest : public ::testing::Test {
 protected:
  ComQtTest() { testsupport::EnsureQtApplication(); }
};

TEST_F(ComQtTest, FlowControlChoicesMapOntoTheLinesThatLinuxHas) {
  const TDcb base = BuiltInDefaultDcb();
  struct Case {
    const char* what;
    std::uint32_t flags;
    TFlowChoice shown;
    TFlowChoice chosen;
    std::uint32_t stored;
  };
  const std::uint32_t lines = dcb::fBinary | dcb::DtrEnable | dcb::RtsEnable;
  const Case cases[] = {
      {"none", lines, TFlowChoice::None, TFlowChoice::None, lines},
      {"to xon/xoff", lines, TFlowChoice::None, TFlowChoice::XOnXOff,
       lines | dcb::fInX | dcb::fOutX},
      {"to hardware", lines, TFlowChoice::None, TFlowChoice::Hardware,
       dcb::fBinary | dcb::DtrEnable | dcb::RtsHandshake | dcb::fOutxCtsFlow},
      {"hardware to none", dcb::fBinary | dcb::DtrEnable | dcb::RtsHandshake | dcb::fOutxCtsFlow,
       TFlowChoice::Hardware, TFlowChoice::None, lines},
      {"output xon only", lines | dcb::fOutX, TFlowChoice::XOnXOff, TFlowChoice::XOnXOff,
       lines | dcb::fInX | dcb::fOutX},
      {"dsr and dtr handshake, which Linux lacks",
       dcb::fBinary | dcb::DtrHandshake | dcb::RtsHandshake | dcb::fOutxCtsFlow | dcb::fOutxDsrFlow,
       TFlowChoice::Hardware, TFlowChoice::Hardware,
       dcb::fBinary | dcb::DtrEnable | dcb::RtsHandshake | dcb::fOutxCtsFlow},
      {"cts without rts handshake", lines | dcb::fOutxCtsFlow, TFlowChoice::None, TFlowChoice::None,
       lines},
  };
  for (const Case& c : cases) {
    TDcb dcb = base;
    dcb.Flags = c.flags;
    EXPECT_EQ(FlowChoiceOf(dcb), c.shown) << c.what;
    ApplyFlowChoice(c.chosen, dcb);
    EXPECT_EQ(dcb.Flags, c.stored) << c.what;
  }
}

TEST_F(ComQtTest, TheFormShowsAndStoresTheLineSettingsAndLeavesTheRestAlone) {
  TComConfigForm form("/dev/ttyUSB0");
  EXPECT_TRUE(form.windowTitle().contains("/dev/ttyUSB0"));
  TDcb dcb = BuiltInDefaultDcb();
  dcb.BaudRate = 250000;  // not in the list: added
  dcb.ByteSize = 7;
  dcb.Parity = 2;
  dcb.StopBits = 2;
  dcb.XonChar = 'q';
  dcb.XonLim = 77;
  dcb.Flags |= dcb::fParity | dcb::fInX | dcb::fOutX;
  form.Load(dcb);
  EXPECT_EQ(form.RateBox->currentText(), "250000");
  EXPECT_EQ(form.DataBitsBox->currentText(), "7");
  EXPECT_EQ(form.ParityBox->currentText(), "Even");
  EXPECT_EQ(form.StopBitsBox->currentText(), "2");
  EXPECT_EQ(form.FlowControlBox->currentText(), "Xon / Xoff");

  form.RateBox->setCurrentText("115200");
  form.DataBitsBox->setCurrentIndex(form.DataBitsBox->findText("8"));
  form.ParityBox->setCurrentIndex(form.ParityBox->findText("None"));
  form.StopBitsBox->setCurrentIndex(form.StopBitsBox->findText("1.5"));
  form.FlowControlBox->setCurrentIndex(form.FlowControlBox->findText("Hardware"));
  TDcb stored = dcb;
  form.Store(stored);
  EXPECT_EQ(stored.BaudRate, 115200U);
  EXPECT_EQ(stored.ByteSize, 8);
  EXPECT_EQ(stored.Parity, 0);
  EXPECT_EQ(stored.StopBits, 1);
  EXPECT_EQ(stored.Flags & (dcb::fInX | dcb::fOutX), 0U);
  EXPECT_NE(stored.Flags & dcb::fOutxCtsFlow, 0U);
  EXPECT_NE(stored.Flags & dcb::fParity, 0U);  // not the dialog's: kept
  EXPECT_EQ(stored.XonChar, 'q');
  EXPECT_EQ(stored.XonLim, 77);

  form.RestoreDefaultsButton->click();
  TDcb restored = dcb;
  form.Store(restored);
  EXPECT_EQ(restored.BaudRate, 9600U);
  EXPECT_EQ(restored.ByteSize, 8);
  EXPECT_EQ(restored.Parity, 0);
  EXPECT_EQ(restored.StopBits, 0);
  EXPECT_EQ(FlowChoiceOf(restored), TFlowChoice::None);
}

// Whatever rate the port has, the form shows it, and OK without an edit keeps it.
TEST_F(ComQtTest, TheFormKeepsARateItsListDoesNotReach) {
  const std::uint32_t rates[] = {115200, 250000, 4'000'000, 6'000'000, 0};
  for (std::uint32_t rate : rates) {
    SCOPED_TRACE(rate);
    TComConfigForm form("/dev/ttyUSB0");
    TDcb dcb = BuiltInDefaultDcb();
    dcb.BaudRate = rate;
    form.Load(dcb);
    EXPECT_EQ(form.RateBox->currentText().toStdString(), std::to_string(rate));
    TDcb stored = BuiltInDefaultDcb();
    stored.BaudRate = 1200;
    form.Store(stored);
    EXPECT_EQ(stored.BaudRate, rate);
  }
}

TEST_F(ComQtTest, ATypedRateOfZeroLeavesThePortsRate) {
  TComConfigForm form("/dev/ttyUSB0");
  TDcb dcb = BuiltInDefaultDcb();
  dcb.BaudRate = 9600;
  form.Load(dcb);
  form.RateBox->setEditText("0");
  form.Store(dcb);
  EXPECT_EQ(dcb.BaudRate, 9600u);
}

TEST_F(ComQtTest, TheServiceHandsBackTheChoicesOnlyWhenConfirmed) {
  QtComDialogService service;
  for (bool confirm : {true, false}) {
    TCommConfig config;
    config.dcb = BuiltInDefaultDcb();
    QTimer::singleShot(0, [confirm] {
      auto* form = dynamic_cast<TComConfigForm*>(QApplication::activeModalWidget());
      ASSERT_NE(form, nullptr);
      form->RateBox->setCurrentText("4800");
      if (confirm) {
        form->accept();
      } else {
        form->reject();
      }
    });
    EXPECT_EQ(service.ShowConfigDialog("/dev/ttyS0", config), confirm);
    EXPECT_EQ(config.dcb.BaudRate, confirm ? 4800U : 9600U);
  }
}

TEST_F(ComQtTest, TheLampPaintsItsColour) {
  EXPECT_EQ(ToQColor(0x0000FF), QColor(255, 0, 0));
  EXPECT_EQ(ToQColor(clLime), QColor(0, 255, 0));
  EXPECT_EQ(ToQColor(0x804020), QColor(0x20, 0x40, 0x80));
  TSignalLamp lamp;
  lamp.resize(16, 16);
  lamp.SetColor(0x0000FF);
  EXPECT_EQ(lamp.Color(), 0x0000FFU);
  const QImage image = lamp.grab().toImage();
  EXPECT_EQ(QColor(image.pixel(8, 8)), QColor(255, 0, 0));
}

TEST_F(ComQtTest, AnIndicatorForgetsALampDestroyedWithItsParent) {
  toolkit::testing::ManualClock clock;
  TComSignal signal(nullptr, clock);
  auto parent = std::make_unique<QWidget>();
  auto* lamp = new TSignalLamp(parent.get());
  signal.SetControl(lamp);
  EXPECT_EQ(lamp->Color(), clGreen);
  signal.SetSignalValue(true);
  EXPECT_EQ(lamp->Color(), clLime);
  parent.reset();
  EXPECT_EQ(signal.Control(), nullptr);
  signal.SetSignalValue(false);  // colours nothing
}

}  // namespace
}  // namespace comport::qt
