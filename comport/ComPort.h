// The serial port component: one serial device as an object a window owns.
//
// Line settings are properties, Open and Close single calls, received data and line changes arrive
// as events, every failure is an EComError (or the silent toolkit::EAbort when OnError asks for
// it). Settings changed while closed are applied at the next open, while open at once.
//
// Threads: every public operation runs on the UI thread, the thread of the UiDispatcher given at
// construction. While the port is open and a line-event handler is assigned, line events are
// delivered in one of two ways:
// - SynchronizeEvents true (the default), with a dispatcher that watches descriptors and a device
//   that offers one (Linux): the UI thread's own event loop watches the device and runs the
//   handlers when it is ready. No worker thread exists; each event costs one thread wake-up.
// - Otherwise a worker thread waits for line events and either hands each wake-up to the UI thread,
//   blocking until the handlers have run (SynchronizeEvents true: a dispatcher or device that
//   cannot watch, as on Windows), or runs the handlers itself (false: the application
//   synchronises).
// Both keep the same rules: events of one wake-up in table order, one delivery at a time (a nested
// message loop inside a handler delivers nothing of the same port until the handler returns),
// Close and even destruction of the port allowed inside a handler, a failed wait reported through
// OnError, after which events stop until the port is opened again, a device gone closing the
// port, a handler's exception reported and the next events delivered. Close and destruction never
// wait for a worker that is blocked in a hand-over; with SynchronizeEvents false they wait for a
// handler running on the worker to return. The dispatcher must outlive the port.
//
// Events are waited for, not sampled: on Linux received characters wake the wait directly, modem
// lines through a helper thread in TIOCMIWAIT, the transmitter's drain through one waiting for it,
// line errors with the byte each comes with. Only a driver without TIOCMIWAIT has its modem lines
// sampled (every 10 ms, while such events are asked for), since Linux offers nothing else there.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "comport/ComServices.h"
#include "comport/ComTypes.h"
#include "comport/SerialDevice.h"
#include "platform/DeviceNotifier.h"
#include "toolkit/Component.h"
#include "toolkit/Dispatcher.h"

namespace comport {

class TCustomComPort;
struct TComWaitState;

using TNotifyEvent = TEvent<toolkit::Component*>;
using TOpenCloseEvent = TEvent<TCustomComPort*>;
using TReadWriteEvent = TEvent<toolkit::Component*, const void*, int, bool>;
using TComErrorEvent = TEvent<TCustomComPort*, EComError&, TComAction&>;
using TLineErrorEvent = TEvent<toolkit::Component*, TLineErrors>;
using TDeviceArrivalEvent = TEvent<toolkit::Component*, const std::string&>;
using TDeviceRemovedEvent = TEvent<toolkit::Component*, const std::string&>;

// The setting groups. Each member setter stores a changed value and re-applies its group to the
// open port. Assigning a whole group copies every member and re-applies once.
class TFlowControl {
 public:
  explicit TFlowControl(TCustomComPort* port) : Port(port) {}
  TFlowControl& operator=(const TFlowControl& source);

  TDTRControl DTR() const { return dtr_; }
  TRTSControl RTS() const { return rts_; }
  TXOnXOffControl XOnXOff() const { return xOnXOff_; }
  std::uint16_t XOnLimit() const { return xOnLimit_; }
  std::uint16_t XOffLimit() const { return xOffLimit_; }
  void SetDTR(TDTRControl value);
  void SetRTS(TRTSControl value);
  void SetXOnXOff(TXOnXOffControl value);
  void SetXOnLimit(std::uint16_t value);
  void SetXOffLimit(std::uint16_t value);

  TCustomComPort* const Port;

 private:
  friend class TCustomComPort;
  TDTRControl dtr_ = dcDefault;
  TRTSControl rts_ = rcDefault;
  TXOnXOffControl xOnXOff_ = xcDefault;
  std::uint16_t xOnLimit_ = 0;
  std::uint16_t xOffLimit_ = 0;
};

class TCharacters {
 public:
  explicit TCharacters(TCustomComPort* port) : Port(port) {}
  TCharacters& operator=(const TCharacters& source);

  char XOn() const { return xOn_; }
  char XOff() const { return xOff_; }
  char Error() const { return error_; }
  char Eof() const { return eof_; }
  char Event() const { return event_; }
  void SetXOn(char value);
  void SetXOff(char value);
  void SetError(char value);
  void SetEof(char value);
  void SetEvent(char value);

  TCustomComPort* const Port;

 private:
  void Change(char& member, char value);
  char xOn_ = 17;
  char xOff_ = 19;
  char error_ = 0;
  char eof_ = 0;
  char event_ = 0;
};

class TBufferSizes {
 public:
  explicit TBufferSizes(TCustomComPort* port) : Port(port) {}
  TBufferSizes& operator=(const TBufferSizes& source);

  int Input() const { return input_; }
  int Output() const { return output_; }
  void SetInput(int value);
  void SetOutput(int value);

  TCustomComPort* const Port;

 private:
  int input_ = 4096;
  int output_ = 2048;
};

class TTimeouts {
 public:
  explicit TTimeouts(TCustomComPort* port) : Port(port) {}
  TTimeouts& operator=(const TTimeouts& source);

  int ReadInterval() const { return readInterval_; }
  int ReadMultiplier() const { return readMultiplier_; }
  int ReadConstant() const { return readConstant_; }
  int WriteMultiplier() const { return writeMultiplier_; }
  int WriteConstant() const { return writeConstant_; }
  void SetReadInterval(int value);
  void SetReadMultiplier(int value);
  void SetReadConstant(int value);
  void SetWriteMultiplier(int value);
  void SetWriteConstant(int value);

  TCustomComPort* const Port;

 private:
  void Change(int& member, int value);
  int readInterval_ = 0;
  int readMultiplier_ = 0;
  int readConstant_ = 0;
  int writeMultiplier_ = 0;
  int writeConstant_ = 0;
};

class TCustomComPort : public toolkit::Component {
 public:
  TCustomComPort(toolkit::Component* owner, toolkit::UiDispatcher& ui);
  ~TCustomComPort() override;

  void Loaded() override;

  // Opening and closing. Open on an open port and Close on a closed one do nothing.
  void Open();
  void Close();
  bool Active() const;
  void SetActive(bool value);
  void CheckActive() const;
  void CheckInactive() const;
  std::string ShortDeviceName() const;
  // Why the worker's last event wait failed since the port was opened (ErrorKind::None: it has
  // not). A port whose device has gone closes itself, with DeviceGone here.
  const toolkit::Error& ThreadError() const { return FThreadError; }

  // Settings.
  std::string About() const;
  void SetAbout(const std::string& value);
  TBaudRate BaudRate() const { return baudRate_; }
  void SetBaudRate(TBaudRate value);
  int CustomBaudRate() const;
  void SetCustomBaudRate(int value);
  bool StoreCustomBaudRate() const { return baudRate_ == brCustom; }
  TDataBits DataBits() const { return dataBits_; }
  void SetDataBits(TDataBits value);
  const std::string& DeviceName() const { return deviceName_; }
  void SetDeviceName(const std::string& value);
  const std::string& LogFile() const { return logFile_; }
  void SetLogFile(const std::string& value);
  TOptions Options() const { return options_; }
  void SetOptions(TOptions value);
  TParity Parity() const { return parity_; }
  void SetParity(TParity value);
  TPriorityClass PriorityClass() const { return priorityClass_; }
  void SetPriorityClass(TPriorityClass value);
  TStopBits StopBits() const { return stopBits_; }
  void SetStopBits(TStopBits value);
  bool SynchronizeEvents() const { return synchronizeEvents_; }
  void SetSynchronizeEvents(bool value);
  // The worker's priority, taken by a running worker at once. Events watched by the UI thread's
  // loop have no worker; the UI thread's own priority is left alone.
  TThreadPriority ThreadPriority() const { return threadPriority_; }
  void SetThreadPriority(TThreadPriority value);
  TFlowControl& FlowControl() { return *flowControl_; }
  TCharacters& Characters() { return *characters_; }
  TBufferSizes& BufferSizes() { return *bufferSizes_; }
  TTimeouts& Timeouts() { return *timeouts_; }
  void SetFlowControl(const TFlowControl& value) { *flowControl_ = value; }
  void SetCharacters(const TCharacters& value) { *characters_ = value; }
  void SetBufferSizes(const TBufferSizes& value) { *bufferSizes_ = value; }
  void SetTimeouts(const TTimeouts& value) { *timeouts_ = value; }

  // Copies the settings into `dcb` (toDcb true) or the record into the settings (false).
  void CopyDCB(TDcb& dcb, bool toDcb);
  void SetComDCB();
  void SetComBufferSizes();
  void SetComTimeouts();

  // Reading and writing. At most one read and one write request exist; a new one first completes
  // the previous one of its direction. A write that does not wait copies the caller's data.
  void Read(void* buffer, int count, bool waitOnCompletion);
  void Write(const void* buffer, int count, bool waitOnCompletion);
  void WaitForReadCompletion();
  void WaitForWriteCompletion();
  bool ReadPending();
  bool WritePending();
  int InputCount();
  int OutputCount();
  void CheckLineErrors();
  void ClearLineErrors();
  static TLineErrors GetLineErrors(std::uint32_t errorWord);

  char ReadChar();
  char ReadAnsiChar() { return ReadChar(); }
  std::uint8_t ReadByte();
  std::uint16_t ReadWord();
  std::uint32_t ReadDWord();
  void WriteChar(char value);
  void WriteAnsiChar(char value) { WriteChar(value); }
  void WriteByte(std::uint8_t value);
  void WriteWord(std::uint16_t value);
  void WriteDWord(std::uint32_t value);
  std::string ReadString();
  std::string ReadAnsiString() { return ReadString(); }
  TBytes ReadBytes();
  std::u16string ReadUtf8();
  void WriteString(const std::string& value);
  void WriteAnsiString(const std::string& value) { WriteString(value); }
  void WriteBytes(const TBytes& value);
  void WriteUtf8(const std::u16string& value);
  std::string ReadUntil(char terminator);
  std::string ReadAnsiUntil(char terminator) { return ReadUntil(terminator); }
  TBytes ReadUntilBytes(std::uint8_t terminator);
  std::u16string ReadUntilUtf8(std::uint8_t terminator);
  std::string ReadLine() { return ReadUntil('\r'); }
  std::string ReadAnsiLine() { return ReadUntil('\r'); }
  TBytes ReadLineBytes() { return ReadUntilBytes('\r'); }
  std::u16string ReadLineUtf8() { return ReadUntilUtf8('\r'); }
  void WriteLine(const std::string& value);
  void WriteAnsiLine(const std::string& value) { WriteLine(value); }
  void WriteLineBytes(const TBytes& value);
  void WriteLineUtf8(const std::u16string& value);

  // Queues (nothing while closed) and line control (raise while closed).
  void PurgeInput();
  void PurgeOutput();
  void ClearInput();
  void ClearOutput();
  void AbortInput();
  void AbortOutput();
  void Flush();
  void TransmitChar(char value);
  void SetBreak();
  void ClearBreak();
  void SetDTR();
  void ClearDTR();
  void SetRTS();
  void ClearRTS();
  void SetXOn();
  void SetXOff();
  void ResetDevice();
  TModemStatus ModemStatus();

  // The log: on while LogFile is not empty.
  bool Log() const { return !logFile_.empty(); }
  void WriteLog(const std::string& message, const void* data = nullptr, int count = 0);

  // Events.
  const TOpenCloseEvent& AfterClose() const { return afterClose_; }
  const TOpenCloseEvent& AfterOpen() const { return afterOpen_; }
  const TReadWriteEvent& AfterRead() const { return afterRead_; }
  const TReadWriteEvent& AfterWrite() const { return afterWrite_; }
  const TOpenCloseEvent& BeforeClose() const { return beforeClose_; }
  const TOpenCloseEvent& BeforeOpen() const { return beforeOpen_; }
  const TReadWriteEvent& BeforeRead() const { return beforeRead_; }
  const TReadWriteEvent& BeforeWrite() const { return beforeWrite_; }
  const TComErrorEvent& OnError() const { return onError_; }
  const TLineErrorEvent& OnLineError() const { return onLineError_; }
  const TNotifyEvent& OnBreak() const { return lineEvents_[kBreak]; }
  const TNotifyEvent& OnCTSChange() const { return lineEvents_[kCTSChange]; }
  const TNotifyEvent& OnDSRChange() const { return lineEvents_[kDSRChange]; }
  const TNotifyEvent& OnEvent1() const { return lineEvents_[kEvent1]; }
  const TNotifyEvent& OnEvent2() const { return lineEvents_[kEvent2]; }
  const TNotifyEvent& OnPrinterError() const { return lineEvents_[kPrinterError]; }
  const TNotifyEvent& OnRing() const { return lineEvents_[kRing]; }
  const TNotifyEvent& OnRLSDChange() const { return lineEvents_[kRLSDChange]; }
  const TNotifyEvent& OnRx80PercFull() const { return lineEvents_[kRx80PercFull]; }
  const TNotifyEvent& OnRxChar() const { return lineEvents_[kRxChar]; }
  const TNotifyEvent& OnRxFlag() const { return lineEvents_[kRxFlag]; }
  const TNotifyEvent& OnTxEmpty() const { return lineEvents_[kTxEmpty]; }
  const TDeviceArrivalEvent& OnDeviceArrival() const { return onDeviceArrival_; }
  const TDeviceRemovedEvent& OnDeviceRemoved() const { return onDeviceRemoved_; }

  void SetAfterClose(TOpenCloseEvent value) { afterClose_ = std::move(value); }
  void SetAfterOpen(TOpenCloseEvent value) { afterOpen_ = std::move(value); }
  void SetAfterRead(TReadWriteEvent value) { afterRead_ = std::move(value); }
  void SetAfterWrite(TReadWriteEvent value) { afterWrite_ = std::move(value); }
  void SetBeforeClose(TOpenCloseEvent value) { beforeClose_ = std::move(value); }
  void SetBeforeOpen(TOpenCloseEvent value) { beforeOpen_ = std::move(value); }
  void SetBeforeRead(TReadWriteEvent value) { beforeRead_ = std::move(value); }
  void SetBeforeWrite(TReadWriteEvent value) { beforeWrite_ = std::move(value); }
  void SetOnError(TComErrorEvent value) { onError_ = std::move(value); }
  void SetOnLineError(TLineErrorEvent value);
  void SetOnBreak(TNotifyEvent value) { SetLineEvent(kBreak, std::move(value)); }
  void SetOnCTSChange(TNotifyEvent value) { SetLineEvent(kCTSChange, std::move(value)); }
  void SetOnDSRChange(TNotifyEvent value) { SetLineEvent(kDSRChange, std::move(value)); }
  void SetOnEvent1(TNotifyEvent value) { SetLineEvent(kEvent1, std::move(value)); }
  void SetOnEvent2(TNotifyEvent value) { SetLineEvent(kEvent2, std::move(value)); }
  void SetOnPrinterError(TNotifyEvent value) { SetLineEvent(kPrinterError, std::move(value)); }
  void SetOnRing(TNotifyEvent value) { SetLineEvent(kRing, std::move(value)); }
  void SetOnRLSDChange(TNotifyEvent value) { SetLineEvent(kRLSDChange, std::move(value)); }
  void SetOnRx80PercFull(TNotifyEvent value) { SetLineEvent(kRx80PercFull, std::move(value)); }
  void SetOnRxChar(TNotifyEvent value) { SetLineEvent(kRxChar, std::move(value)); }
  void SetOnRxFlag(TNotifyEvent value) { SetLineEvent(kRxFlag, std::move(value)); }
  void SetOnTxEmpty(TNotifyEvent value) { SetLineEvent(kTxEmpty, std::move(value)); }
  // Assigning either registers for device notifications, clearing both unregisters.
  void SetOnDeviceArrival(TDeviceArrivalEvent value);
  void SetOnDeviceRemoved(TDeviceRemovedEvent value);

  // Enumeration (ComEnum.cpp): each appends to `list` and never clears, sorts, de-duplicates or
  // raises; what cannot be read adds nothing.
  void EnumDevices(std::vector<std::string>& list);
  void EnumComDevices(std::vector<std::string>& list);
  void EnumComDevicesFromRegistry(std::vector<std::string>& list);
  void EnumComFriendlyNames(std::vector<std::string>& list);

  // Hot-plug notification (ComNotify.cpp). The hook is installed exactly while a registration
  // exists; a refused registration leaves neither and returns false.
  bool StartNotification();
  bool StopNotification();
  // Hears every device change while registered; always false, so others hear it too.
  bool WindowHook(const platform::DeviceChange& change);

  // The line-settings dialog (ComConfigDialog.cpp): true when the user confirmed. ConfigDialog
  // edits the port's settings (applied at once to an open port), DefaultConfigDialog the port's
  // default settings in the defaults file.
  bool ConfigDialog();
  bool DefaultConfigDialog();

  const TComServices& Services() const { return services_; }
  void SetServices(TComServices value) { services_ = std::move(value); }

  // The line events, in the order one wake-up delivers them.
  enum LineEvent : std::uint8_t {
    kBreak,
    kCTSChange,
    kDSRChange,
    kLineError,
    kEvent1,
    kEvent2,
    kPrinterError,
    kRing,
    kRLSDChange,
    kRx80PercFull,
    kRxChar,
    kRxFlag,
    kTxEmpty,
    kLineEventCount
  };

 protected:
  // Acquires everything an open port holds; a derived class may open the device differently.
  virtual void CreateHandle();
  void FreeHandle();
  // OnError sees the error first; it leaves as EComError, or as toolkit::EAbort when OnError asks.
  [[noreturn]] void RaiseError(const toolkit::Error& error);
  // Raises the error a device call returned; success passes.
  void Check(const toolkit::Error& error);

  // The device of the open port; null while closed.
  std::unique_ptr<SerialDevice> FHandle;
  // The device-notification registration; null while unregistered.
  std::unique_ptr<platform::DeviceNotifier::Registration> FNotification;

 private:
  friend class TComThread;
  friend struct TComWaitState;
  friend class TComSignal;  // reads the modem lines without raising

  void SetLineEvent(LineEvent event, TNotifyEvent value);
  // Registers while a device handler is assigned, unregisters when none is.
  void DeviceHandlersChanged();
  void ApplyLineSettings() { SetComDCB(); }
  bool Applies() const { return FHandle != nullptr && !Designing(); }
  void CloseFromWorker(TComWaitState& worker);
  void CopyDCBFrom(const TDcb& dcb);
  void ApplyPriorityClass();
  void RestorePriorityClass();

  // The event thread.
  void SetComEventMask();
  std::uint32_t EventMask() const;
  void CreateThread();
  void DestroyThread();
  bool StartWatching();
  void StopWatching();
  void WatchDevice(bool input);
  void UnwatchDevice();
  void DeviceReady(bool fromInput);
  void WatchFailed(const toolkit::Error& error);
  bool ThreadDoEvent(std::uint32_t events, const TComWaitState* worker);
  void DeliverEvent(LineEvent event);
  void RaiseThreadError(const toolkit::Error& error);

  // The two requests.
  void WaitForCompletion(bool read);
  void StartRequest(int& count, const toolkit::Error& started);
  int RequestCount(std::size_t size);
  TComStat QueueStatus(std::uint32_t queues);
  void LineControl(TLineControl function);

  bool FActive = false;
  std::shared_ptr<TComWaitState> FThread;
  // Deliveries on the UI thread in progress, and whether the port still exists, which a delivery
  // holds on to in case a handler destroys the port.
  int delivering_ = 0;
  std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
  // Synchronised events watched by the UI thread's loop in place of a worker. Input: the loop
  // watches the device's input itself (and a second descriptor for the other events); Edges: the
  // device's event descriptor, while bytes a handler left queued keep the input readable;
  // Deferred: a nested loop inside a handler found the device ready; Ended: a wait failed.
  enum class WatchState : std::uint8_t { None, Input, Edges, Deferred, Ended };
  WatchState watch_ = WatchState::None;
  int watchedFds_[2] = {-1, -1};
  std::uint32_t FEventMask = 0;
  int FReadCount = 0;
  int FWriteCount = 0;
  void* FReadBuffer = nullptr;
  const void* FWriteBuffer = nullptr;
  int FSavedPriorityClass = -1;
  toolkit::Error FThreadError;  // the last failed event wait, for RaiseThreadError
  int FCustomBaudRate = 0;
  TBytes FWriteCopy;

  toolkit::UiDispatcher& ui_;
  TComServices services_;
  // The platform's notifier, made while registered when the services give none. Outlives
  // FNotification: StopNotification, which the destructor calls first, ends that before this.
  std::shared_ptr<platform::DeviceNotifier> ownNotifier_;
  TThreadPriority threadPriority_ = tpTimeCritical;
  TBaudRate baudRate_ = brDefault;
  TDataBits dataBits_ = dbDefault;
  std::string deviceName_ = "COM1";
  std::string logFile_;
  TOptions options_;
  TParity parity_ = paDefault;
  TPriorityClass priorityClass_ = pcDefault;
  TStopBits stopBits_ = sbDefault;
  bool synchronizeEvents_ = true;
  std::unique_ptr<TFlowControl> flowControl_;
  std::unique_ptr<TCharacters> characters_;
  std::unique_ptr<TBufferSizes> bufferSizes_;
  std::unique_ptr<TTimeouts> timeouts_;

  TOpenCloseEvent afterClose_, afterOpen_, beforeClose_, beforeOpen_;
  TReadWriteEvent afterRead_, afterWrite_, beforeRead_, beforeWrite_;
  TComErrorEvent onError_;
  TLineErrorEvent onLineError_;
  TNotifyEvent lineEvents_[kLineEventCount];
  TDeviceArrivalEvent onDeviceArrival_;
  TDeviceRemovedEvent onDeviceRemoved_;
};

// The port as a form stores it; no behaviour of its own.
class TComPort : public TCustomComPort {
 public:
  using TCustomComPort::TCustomComPort;
};

}  // namespace comport
