// The settings, their defaults and their mapping onto the device-control record, on a closed port.
#include <gtest/gtest.h>

#include "comport/ComPort.h"
#include "toolkit/Dispatcher.h"

namespace comport {
namespace {

class SettingsTest : public ::testing::Test {
 protected:
  toolkit::DispatchQueue ui_;
  TComPort port_{nullptr, ui_};
};

TEST_F(SettingsTest, ANewPortHasTheDocumentedValues) {
  EXPECT_FALSE(port_.Active());
  EXPECT_EQ(port_.BaudRate(), brDefault);
  EXPECT_EQ(port_.CustomBaudRate(), 0);
  EXPECT_EQ(port_.DataBits(), dbDefault);
  EXPECT_EQ(port_.DeviceName(), "COM1");
  EXPECT_EQ(port_.LogFile(), "");
  EXPECT_TRUE(port_.Options().Empty());
  EXPECT_EQ(port_.Parity(), paDefault);
  EXPECT_EQ(port_.PriorityClass(), pcDefault);
  EXPECT_EQ(port_.StopBits(), sbDefault);
  EXPECT_TRUE(port_.SynchronizeEvents());
  EXPECT_EQ(port_.ThreadPriority(), tpTimeCritical);
  EXPECT_EQ(port_.BufferSizes().Input(), 4096);
  EXPECT_EQ(port_.BufferSizes().Output(), 2048);
  EXPECT_EQ(port_.Characters().XOn(), 17);
  EXPECT_EQ(port_.Characters().XOff(), 19);
  EXPECT_EQ(port_.Characters().Error(), 0);
  EXPECT_EQ(port_.Characters().Eof(), 0);
  EXPECT_EQ(port_.Characters().Event(), 0);
  EXPECT_EQ(port_.FlowControl().DTR(), dcDefault);
  EXPECT_EQ(port_.FlowControl().RTS(), rcDefault);
  EXPECT_EQ(port_.FlowControl().XOnXOff(), xcDefault);
  EXPECT_EQ(port_.FlowControl().XOnLimit(), 0);
  EXPECT_EQ(port_.FlowControl().XOffLimit(), 0);
  EXPECT_EQ(port_.Timeouts().ReadInterval(), 0);
  EXPECT_EQ(port_.Timeouts().WriteConstant(), 0);
  EXPECT_EQ(port_.FlowControl().Port, &port_);
  EXPECT_FALSE(port_.OnRxChar());
  EXPECT_FALSE(port_.About().empty());
}

// The ordinals that index the record tables are checked at compile time beside those tables.
TEST_F(SettingsTest, EnumerationOrdinalsArePositions) {
  EXPECT_EQ(brCustom, 26);
  EXPECT_EQ(leTxFull, 10);
  EXPECT_EQ(TOptions({opCheckParity, opAbortOnError}).ToBits(), 0x81);
  EXPECT_EQ(sizeof(TLineErrors), 2u);
}

// A record as a driver might report it, so that untouched fields show.
TDcb DriverRecord() {
  TDcb dcb;
  dcb.BaudRate = 9600;
  dcb.ByteSize = 7;
  dcb.Parity = 2;
  dcb.StopBits = 2;
  dcb.Flags = dcb::DtrEnable | dcb::RtsHandshake | dcb::fOutX | dcb::fNull;
  dcb.XonLim = 100;
  dcb.XoffLim = 200;
  dcb.wReserved = 7;
  return dcb;
}

TEST_F(SettingsTest, AnUntouchedPortWritesOnlyCharactersLimitsOptionsAndBinary) {
  TDcb dcb = DriverRecord();
  port_.CopyDCB(dcb, true);
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(dcb.ByteSize, 7);
  EXPECT_EQ(dcb.Parity, 2);
  EXPECT_EQ(dcb.StopBits, 2);
  EXPECT_EQ(dcb.XonChar, 17);
  EXPECT_EQ(dcb.XoffChar, 19);
  EXPECT_EQ(dcb.ErrorChar, 0);
  EXPECT_EQ(dcb.XonLim, 0);
  EXPECT_EQ(dcb.XoffLim, 0);
  EXPECT_EQ(dcb.wReserved, 7);
  // Control fields stay; all eight option flags go; binary is set.
  EXPECT_EQ(dcb.Flags, dcb::DtrEnable | dcb::RtsHandshake | dcb::fOutX | dcb::fBinary);
}

TEST_F(SettingsTest, TheToolsSettingsWrite115200EightNoneOne) {
  port_.SetBaudRate(br115200);
  port_.SetDataBits(db8);
  port_.SetParity(paNone);
  port_.SetStopBits(sb1);
  TDcb dcb = DriverRecord();
  port_.CopyDCB(dcb, true);
  EXPECT_EQ(dcb.BaudRate, 115200u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, 0);
  EXPECT_EQ(dcb.StopBits, 0);
}

struct ToDcbCase {
  const char* name;
  std::function<void(TComPort&)> set;
  std::function<bool(const TDcb&)> holds;
};

TEST_F(SettingsTest, EachSettingLandsInItsField) {
  const ToDcbCase cases[] = {
      {"br50", [](TComPort& p) { p.SetBaudRate(br50); },
       [](const TDcb& d) { return d.BaudRate == 50; }},
      {"br256000", [](TComPort& p) { p.SetBaudRate(br256000); },
       [](const TDcb& d) { return d.BaudRate == 256000; }},
      {"custom", [](TComPort& p) { p.SetCustomBaudRate(250000); },
       [](const TDcb& d) { return d.BaudRate == 250000; }},
      {"db4", [](TComPort& p) { p.SetDataBits(db4); },
       [](const TDcb& d) { return d.ByteSize == 4; }},
      {"db9", [](TComPort& p) { p.SetDataBits(db9); },
       [](const TDcb& d) { return d.ByteSize == 9; }},
      {"odd", [](TComPort& p) { p.SetParity(paOdd); }, [](const TDcb& d) { return d.Parity == 1; }},
      {"mark", [](TComPort& p) { p.SetParity(paMark); },
       [](const TDcb& d) { return d.Parity == 3; }},
      {"space", [](TComPort& p) { p.SetParity(paSpace); },
       [](const TDcb& d) { return d.Parity == 4; }},
      {"sb1_5", [](TComPort& p) { p.SetStopBits(sb1_5); },
       [](const TDcb& d) { return d.StopBits == 1; }},
      {"dtr disable", [](TComPort& p) { p.FlowControl().SetDTR(dcDisable); },
       [](const TDcb& d) { return (d.Flags & 0x0030) == 0; }},
      {"dtr handshake", [](TComPort& p) { p.FlowControl().SetDTR(dcHandshake); },
       [](const TDcb& d) { return (d.Flags & 0x0030) == 0x0020; }},
      {"rts toggle", [](TComPort& p) { p.FlowControl().SetRTS(rcToggle); },
       [](const TDcb& d) { return (d.Flags & 0x3000) == 0x3000; }},
      {"rts disable", [](TComPort& p) { p.FlowControl().SetRTS(rcDisable); },
       [](const TDcb& d) { return (d.Flags & 0x3000) == 0; }},
      {"xon/xoff input", [](TComPort& p) { p.FlowControl().SetXOnXOff(xcInput); },
       [](const TDcb& d) { return (d.Flags & 0x0300) == 0x0200; }},
      {"xon/xoff both", [](TComPort& p) { p.FlowControl().SetXOnXOff(xcInputOutput); },
       [](const TDcb& d) { return (d.Flags & 0x0300) == 0x0300; }},
      {"xon/xoff off", [](TComPort& p) { p.FlowControl().SetXOnXOff(xcDisable); },
       [](const TDcb& d) { return (d.Flags & 0x0300) == 0; }},
      {"limits",
       [](TComPort& p) { p.FlowControl().SetXOnLimit(10), p.FlowControl().SetXOffLimit(20); },
       [](const TDcb& d) { return d.XonLim == 10 && d.XoffLim == 20; }},
      {"characters",
       [](TComPort& p) {
         p.Characters().SetXOn('a');
         p.Characters().SetXOff('b');
         p.Characters().SetError('c');
         p.Characters().SetEof('d');
         p.Characters().SetEvent('e');
       },
       [](const TDcb& d) {
         return d.XonChar == 'a' && d.XoffChar == 'b' && d.ErrorChar == 'c' && d.EofChar == 'd' &&
                d.EvtChar == 'e';
       }},
      {"options",
       [](TComPort& p) {
         p.SetOptions({opCheckParity, opOutputCTSFlow, opOutputDSRFlow, opDSRSensitivity,
                       opTXContinueOnXOff, opUseErrorChar, opDiscardNullBytes, opAbortOnError});
       },
       [](const TDcb& d) { return (d.Flags & 0x4CCF) == 0x4CCF; }},
  };
  for (const auto& c : cases) {
    TComPort port(nullptr, ui_);
    c.set(port);
    TDcb dcb = DriverRecord();
    port.CopyDCB(dcb, true);
    EXPECT_TRUE(c.holds(dcb)) << c.name;
  }
}

struct FromDcbCase {
  const char* name;
  std::function<void(TDcb&)> set;
  std::function<bool(TComPort&)> reads;
};

TEST_F(SettingsTest, RecordFieldsReadBackAsTheFirstMatchingMember) {
  const FromDcbCase cases[] = {
      {"rate", [](TDcb& d) { d.BaudRate = 115200; },
       [](TComPort& p) { return p.BaudRate() == brCustom && p.CustomBaudRate() == 115200; }},
      {"8 bits", [](TDcb& d) { d.ByteSize = 8; }, [](TComPort& p) { return p.DataBits() == db8; }},
      {"no parity reads as Default", [](TDcb& d) { d.Parity = 0; },
       [](TComPort& p) { return p.Parity() == paDefault; }},
      {"space parity", [](TDcb& d) { d.Parity = 4; },
       [](TComPort& p) { return p.Parity() == paSpace; }},
      {"one stop bit reads as Default", [](TDcb& d) { d.StopBits = 0; },
       [](TComPort& p) { return p.StopBits() == sbDefault; }},
      {"two stop bits", [](TDcb& d) { d.StopBits = 2; },
       [](TComPort& p) { return p.StopBits() == sb2; }},
      {"unknown parity keeps the setting", [](TDcb& d) { d.Parity = 9; },
       [](TComPort& p) { return p.Parity() == paEven; }},
      {"DTR disabled reads as Default", [](TDcb& d) { d.Flags = dcb::DtrDisable; },
       [](TComPort& p) { return p.FlowControl().DTR() == dcDefault; }},
      {"RTS disabled reads as Default", [](TDcb& d) { d.Flags = dcb::RtsDisable; },
       [](TComPort& p) { return p.FlowControl().RTS() == rcDefault; }},
      {"RTS handshake", [](TDcb& d) { d.Flags = dcb::RtsHandshake; },
       [](TComPort& p) { return p.FlowControl().RTS() == rcHandshake; }},
      {"no XON/XOFF reads as Default", [](TDcb& d) { d.Flags = 0; },
       [](TComPort& p) { return p.FlowControl().XOnXOff() == xcDefault; }},
      {"XON/XOFF output", [](TDcb& d) { d.Flags = dcb::fOutX; },
       [](TComPort& p) { return p.FlowControl().XOnXOff() == xcOutput; }},
      {"options", [](TDcb& d) { d.Flags = dcb::fParity | dcb::fAbortOnError; },
       [](TComPort& p) {
         return p.Options() == TOptions({opCheckParity, opAbortOnError});
       }},
      {"characters and limits",
       [](TDcb& d) {
         d.XonChar = 1;
         d.EvtChar = 5;
         d.XoffLim = 99;
       },
       [](TComPort& p) {
         return p.Characters().XOn() == 1 && p.Characters().Event() == 5 &&
                p.FlowControl().XOffLimit() == 99;
       }},
  };
  for (const auto& c : cases) {
    TComPort port(nullptr, ui_);
    port.SetParity(paEven);
    TDcb dcb;
    dcb.ByteSize = 8;
    c.set(dcb);
    port.CopyDCB(dcb, false);
    EXPECT_TRUE(c.reads(port)) << c.name;
  }
}

TEST_F(SettingsTest, RoundTripsReadBackAsDefaultWhereTheValueIsZero) {
  struct Case {
    TParity parity;
    TStopBits stopBits;
    TDTRControl dtr;
    TRTSControl rts;
    TXOnXOffControl xOnXOff;
  };
  const Case through = {paNone, sb1, dcDisable, rcDisable, xcDisable};
  port_.SetParity(through.parity);
  port_.SetStopBits(through.stopBits);
  port_.FlowControl().SetDTR(through.dtr);
  port_.FlowControl().SetRTS(through.rts);
  port_.FlowControl().SetXOnXOff(through.xOnXOff);
  TDcb dcb = DriverRecord();
  port_.CopyDCB(dcb, true);
  port_.CopyDCB(dcb, false);
  EXPECT_EQ(port_.Parity(), paDefault);
  EXPECT_EQ(port_.StopBits(), sbDefault);
  EXPECT_EQ(port_.FlowControl().DTR(), dcDefault);
  EXPECT_EQ(port_.FlowControl().RTS(), rcDefault);
  EXPECT_EQ(port_.FlowControl().XOnXOff(), xcDefault);

  // Non-zero values survive the round trip.
  TComPort other(nullptr, ui_);
  other.SetParity(paMark);
  other.SetStopBits(sb2);
  other.SetDataBits(db7);
  other.FlowControl().SetDTR(dcEnable);
  other.FlowControl().SetRTS(rcHandshake);
  other.FlowControl().SetXOnXOff(xcOutput);
  other.SetOptions({opOutputCTSFlow});
  other.SetBaudRate(br57600);
  TDcb record = DriverRecord();
  other.CopyDCB(record, true);
  other.CopyDCB(record, false);
  EXPECT_EQ(other.Parity(), paMark);
  EXPECT_EQ(other.StopBits(), sb2);
  EXPECT_EQ(other.DataBits(), db7);
  EXPECT_EQ(other.FlowControl().DTR(), dcEnable);
  EXPECT_EQ(other.FlowControl().RTS(), rcHandshake);
  EXPECT_EQ(other.FlowControl().XOnXOff(), xcOutput);
  EXPECT_EQ(other.Options(), TOptions({opOutputCTSFlow}));
  EXPECT_EQ(other.BaudRate(), brCustom);  // a rate always reads back as a custom rate
  EXPECT_EQ(other.CustomBaudRate(), 57600);
}

TEST_F(SettingsTest, CustomBaudRateSwitchesToCustomAndNamedRatesReadBack) {
  port_.SetBaudRate(br9600);
  EXPECT_EQ(port_.CustomBaudRate(), 9600);
  EXPECT_FALSE(port_.StoreCustomBaudRate());
  port_.SetCustomBaudRate(31250);
  EXPECT_EQ(port_.BaudRate(), brCustom);
  EXPECT_EQ(port_.CustomBaudRate(), 31250);
  EXPECT_TRUE(port_.StoreCustomBaudRate());
  port_.SetBaudRate(brDefault);
  EXPECT_EQ(port_.CustomBaudRate(), 0);
}

TEST_F(SettingsTest, AssigningAWholeGroupCopiesEveryMember) {
  TComPort source(nullptr, ui_);
  source.Timeouts().SetReadInterval(5);
  source.Timeouts().SetWriteConstant(7);
  source.Characters().SetEvent('x');
  port_.SetTimeouts(source.Timeouts());
  port_.SetCharacters(source.Characters());
  EXPECT_EQ(port_.Timeouts().ReadInterval(), 5);
  EXPECT_EQ(port_.Timeouts().WriteConstant(), 7);
  EXPECT_EQ(port_.Characters().Event(), 'x');
  EXPECT_EQ(port_.Timeouts().Port, &port_);
}

TEST_F(SettingsTest, ShortDeviceNameDropsTheDevicePrefixOnly) {
  port_.SetDeviceName("\\\\.\\COM12");
  EXPECT_EQ(port_.ShortDeviceName(), "COM12");
  port_.SetDeviceName("/dev/ttyUSB0");
  EXPECT_EQ(port_.ShortDeviceName(), "/dev/ttyUSB0");
}

TEST_F(SettingsTest, LineErrorsDecodeByTheirFlags) {
  EXPECT_EQ(TCustomComPort::GetLineErrors(0x0010 | 0x0002 | 0x0004),
            TLineErrors({leBreak, leOverrun, leParity}));
  EXPECT_EQ(TCustomComPort::GetLineErrors(0x8000 | 0x0100 | 0x0001),
            TLineErrors({leMode, leTxFull, leRxOverflow}));
  EXPECT_TRUE(TCustomComPort::GetLineErrors(0x0020).Empty());  // not in the table
}

// The same handler is a method bound to the same object, or a copy of the same callable.
class Window {
 public:
  void RxChar(toolkit::Component*) {}
  void Other(toolkit::Component*) {}
};

TEST_F(SettingsTest, HandlersCompareByMethodAndObject) {
  Window a, b;
  const auto rx = TNotifyEvent::Bind(&a, &Window::RxChar);
  EXPECT_EQ(rx, TNotifyEvent::Bind(&a, &Window::RxChar));
  EXPECT_NE(rx, TNotifyEvent::Bind(&b, &Window::RxChar));
  EXPECT_NE(rx, TNotifyEvent::Bind(&a, &Window::Other));
  TNotifyEvent lambda = [](toolkit::Component*) {};
  const TNotifyEvent copy = lambda;
  EXPECT_EQ(lambda, copy);
  EXPECT_NE(lambda, TNotifyEvent([](toolkit::Component*) {}));
  EXPECT_EQ(TNotifyEvent(), TNotifyEvent(nullptr));
}

TEST_F(SettingsTest, ActiveAtDesignTimeAndWhileLoadingIsOnlyStored) {
  port_.SetDeviceName("/nonexistent/tty");
  port_.SetDesigning(true);
  port_.SetActive(true);  // would fail if it tried to open
  EXPECT_TRUE(port_.Active());
  port_.SetDesigning(false);
  EXPECT_FALSE(port_.Active());

  TComPort loading(nullptr, ui_);
  loading.SetDeviceName("/nonexistent/tty");
  loading.BeginLoading();
  loading.SetActive(true);
  EXPECT_FALSE(loading.Active());
  EXPECT_THROW(loading.Loaded(), EComError);  // Loaded opens it, and the device is not there
}

}  // namespace
}  // namespace comport
