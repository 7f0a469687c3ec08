// Settings, their mapping onto the device-control record, opening and closing, errors.
#include "comport/ComPort.h"

#include <utility>

#include "comport/ComThread.h"
#include "comport/Scheduling.h"
#include "comport/backend/SideServices.h"

namespace comport {
namespace {

constexpr std::uint32_t kRates[] = {0,     50,    75,    110,   150,   300,    600,    1200,  1800,
                                    2000,  2400,  3600,  4800,  7200,  9600,   10400,  14400, 15625,
                                    19200, 28800, 38400, 56000, 57600, 115200, 128000, 256000};
// The members' ordinals are the published values of the settings, so they are pinned as well.
static_assert(std::size(kRates) == brCustom);
static_assert(br9600 == 14 && kRates[br9600] == 9600);
static_assert(br115200 == 23 && kRates[br115200] == 115200);
static_assert(br256000 == 25 && kRates[br256000] == 256000);

// Field values of the record, indexed by enumeration member; the Default member stands for 0.
constexpr std::uint8_t kByteSizes[] = {0, 4, 5, 6, 7, 8, 9};
static_assert(std::size(kByteSizes) == db9 + 1 && db8 == 5 && kByteSizes[db8] == 8);
constexpr std::uint8_t kParities[] = {0, 0, 1, 2, 3, 4};
static_assert(std::size(kParities) == paSpace + 1 && paSpace == 5 && kParities[paSpace] == 4);
constexpr std::uint8_t kStopBits[] = {0, 0, 1, 2};
static_assert(std::size(kStopBits) == sb2 + 1 && sb2 == 3 && kStopBits[sb2] == 2);
constexpr std::uint32_t kDtr[] = {0, dcb::DtrDisable, dcb::DtrEnable, dcb::DtrHandshake};
static_assert(std::size(kDtr) == dcHandshake + 1 && kDtr[dcHandshake] == dcb::DtrHandshake);
constexpr std::uint32_t kRts[] = {0, dcb::RtsDisable, dcb::RtsEnable, dcb::RtsHandshake,
                                  dcb::RtsToggle};
static_assert(std::size(kRts) == rcToggle + 1 && rcToggle == 4 && kRts[rcToggle] == dcb::RtsToggle);
constexpr std::uint32_t kXOnXOff[] = {0, 0, dcb::fInX, dcb::fOutX, dcb::fInX | dcb::fOutX};
constexpr std::uint32_t kXOnXOffMask = dcb::fInX | dcb::fOutX;
static_assert(std::size(kXOnXOff) == xcInputOutput + 1 && xcInputOutput == 4 &&
              kXOnXOff[xcInputOutput] == kXOnXOffMask && kXOnXOff[xcInput] == dcb::fInX);
constexpr std::uint32_t kOptionFlags[] = {
    dcb::fParity,           dcb::fOutxCtsFlow, dcb::fOutxDsrFlow, dcb::fDsrSensitivity,
    dcb::fTXContinueOnXoff, dcb::fErrorChar,   dcb::fNull,        dcb::fAbortOnError};
static_assert(std::size(kOptionFlags) == opAbortOnError + 1 && opAbortOnError == 7 &&
              kOptionFlags[opCheckParity] == dcb::fParity &&
              kOptionFlags[opAbortOnError] == dcb::fAbortOnError);

// The first member, in declaration order, whose value is `value`; `current` when none is.
template <typename E, typename V, std::size_t N>
E MemberOf(const V (&values)[N], V value, E current) {
  for (std::size_t i = 0; i < N; ++i) {
    if (values[i] == value) return static_cast<E>(i);
  }
  return current;
}

void ReplaceBits(std::uint32_t& flags, std::uint32_t mask, std::uint32_t bits) {
  flags = (flags & ~mask) | bits;
}

}  // namespace

// The setting groups.

TFlowControl& TFlowControl::operator=(const TFlowControl& source) {
  if (this == &source) return *this;
  dtr_ = source.dtr_;
  rts_ = source.rts_;
  xOnXOff_ = source.xOnXOff_;
  xOnLimit_ = source.xOnLimit_;
  xOffLimit_ = source.xOffLimit_;
  Port->SetComDCB();
  return *this;
}

void TFlowControl::SetDTR(TDTRControl value) {
  if (value == dtr_) return;
  dtr_ = value;
  Port->SetComDCB();
}

void TFlowControl::SetRTS(TRTSControl value) {
  if (value == rts_) return;
  rts_ = value;
  Port->SetComDCB();
}

void TFlowControl::SetXOnXOff(TXOnXOffControl value) {
  if (value == xOnXOff_) return;
  xOnXOff_ = value;
  Port->SetComDCB();
}

void TFlowControl::SetXOnLimit(std::uint16_t value) {
  if (value == xOnLimit_) return;
  xOnLimit_ = value;
  Port->SetComDCB();
}

void TFlowControl::SetXOffLimit(std::uint16_t value) {
  if (value == xOffLimit_) return;
  xOffLimit_ = value;
  Port->SetComDCB();
}

TCharacters& TCharacters::operator=(const TCharacters& source) {
  if (this == &source) return *this;
  xOn_ = source.xOn_;
  xOff_ = source.xOff_;
  error_ = source.error_;
  eof_ = source.eof_;
  event_ = source.event_;
  Port->SetComDCB();
  return *this;
}

void TCharacters::Change(char& member, char value) {
  if (value == member) return;
  member = value;
  Port->SetComDCB();
}

void TCharacters::SetXOn(char value) {
  Change(xOn_, value);
}
void TCharacters::SetXOff(char value) {
  Change(xOff_, value);
}
void TCharacters::SetError(char value) {
  Change(error_, value);
}
void TCharacters::SetEof(char value) {
  Change(eof_, value);
}
void TCharacters::SetEvent(char value) {
  Change(event_, value);
}

TBufferSizes& TBufferSizes::operator=(const TBufferSizes& source) {
  if (this == &source) return *this;
  input_ = source.input_;
  output_ = source.output_;
  Port->SetComBufferSizes();
  return *this;
}

void TBufferSizes::SetInput(int value) {
  if (value == input_) return;
  input_ = value;
  Port->SetComBufferSizes();
}

void TBufferSizes::SetOutput(int value) {
  if (value == output_) return;
  output_ = value;
  Port->SetComBufferSizes();
}

TTimeouts& TTimeouts::operator=(const TTimeouts& source) {
  if (this == &source) return *this;
  readInterval_ = source.readInterval_;
  readMultiplier_ = source.readMultiplier_;
  readConstant_ = source.readConstant_;
  writeMultiplier_ = source.writeMultiplier_;
  writeConstant_ = source.writeConstant_;
  Port->SetComTimeouts();
  return *this;
}

void TTimeouts::Change(int& member, int value) {
  if (value == member) return;
  member = value;
  Port->SetComTimeouts();
}

void TTimeouts::SetReadInterval(int value) {
  Change(readInterval_, value);
}
void TTimeouts::SetReadMultiplier(int value) {
  Change(readMultiplier_, value);
}
void TTimeouts::SetReadConstant(int value) {
  Change(readConstant_, value);
}
void TTimeouts::SetWriteMultiplier(int value) {
  Change(writeMultiplier_, value);
}
void TTimeouts::SetWriteConstant(int value) {
  Change(writeConstant_, value);
}

// Construction and destruction.

TCustomComPort::TCustomComPort(toolkit::Component* owner, toolkit::UiDispatcher& ui)
    : toolkit::Component(owner), ui_(ui) {
  flowControl_ = std::make_unique<TFlowControl>(this);
  characters_ = std::make_unique<TCharacters>(this);
  bufferSizes_ = std::make_unique<TBufferSizes>(this);
  timeouts_ = std::make_unique<TTimeouts>(this);
}

TCustomComPort::~TCustomComPort() {
  StopNotification();
  try {
    Close();
  } catch (...) {
    // A destructor cannot report; the handlers of a closing port had their chance.
  }
  FreeHandle();
  // A handler that destroys its port ends the dispatch it runs in.
  *alive_ = false;
  timeouts_.reset();
  bufferSizes_.reset();
  characters_.reset();
  flowControl_.reset();
}

// Active, opening and closing.

bool TCustomComPort::Active() const {
  return Designing() ? FActive : FHandle != nullptr;
}

void TCustomComPort::SetActive(bool value) {
  if (value != Active() && !Designing() && !Loading()) {
    if (value) {
      Open();
    } else {
      Close();
    }
  }
  FActive = value;
}

void TCustomComPort::Loaded() {
  toolkit::Component::Loaded();
  SetActive(FActive);
}

void TCustomComPort::Open() {
  if (Active()) return;
  if (beforeOpen_) beforeOpen_(this);
  CreateHandle();
  if (Log()) WriteLog("Open " + deviceName_);
  if (Active() && afterOpen_) afterOpen_(this);
}

void TCustomComPort::CreateHandle() {
  FreeHandle();
  try {
    ApplyPriorityClass();
    FThreadError = {};
    std::unique_ptr<SerialDevice> device;
    Check(OpenSerialDevice(deviceName_, device));
    FHandle = std::move(device);
    PurgeInput();
    PurgeOutput();
    SetComBufferSizes();
    SetComDCB();
    SetComTimeouts();
    SetComEventMask();
  } catch (...) {
    FreeHandle();
    throw;
  }
}

void TCustomComPort::Close() {
  TComWaitState* worker = TComWaitState::Current();
  if (worker != nullptr && worker->port == this) {
    CloseFromWorker(*worker);
    return;
  }
  if (!Active()) return;
  if (beforeClose_) beforeClose_(this);
  FreeHandle();
  if (Log()) WriteLog("Close " + deviceName_);
  if (!Active() && afterClose_) afterClose_(this);
}

// A handler running on the worker closes the port: the UI thread does it while the worker waits.
void TCustomComPort::CloseFromWorker(TComWaitState& worker) {
  auto error = std::make_shared<std::exception_ptr>();
  worker.workerLock.unlock();
  worker.HandOver(
      [this, error] {
        try {
          Close();
        } catch (...) {
          *error = std::current_exception();
        }
      },
      true);
  worker.workerLock.lock();
  if (*error) std::rethrow_exception(*error);
}

void TCustomComPort::FreeHandle() {
  // Requests still pending are abandoned with the device; a handler blocked in one gets going.
  if (FHandle != nullptr) FHandle->CancelAll();
  DestroyThread();
  FHandle.reset();
  // ...and never completed: no later wait logs their bytes.
  FReadCount = 0;
  FWriteCount = 0;
  RestorePriorityClass();
}

// A class the platform would not let us undo at Close is not applied (the backend says so with
// -1), so the UI thread never stays lowered after the port has gone.
void TCustomComPort::ApplyPriorityClass() {
  FSavedPriorityClass = ChangePriorityClass(priorityClass_);
}

void TCustomComPort::RestorePriorityClass() {
  comport::RestorePriorityClass(FSavedPriorityClass);
  FSavedPriorityClass = -1;
}

void TCustomComPort::CheckActive() const {
  if (!Active()) {
    const_cast<TCustomComPort*>(this)->RaiseError(
        toolkit::CallerMistake("Can't perform this operation on a closed port", "use the port"));
  }
}

void TCustomComPort::CheckInactive() const {
  if (Active() && !Designing()) {
    const_cast<TCustomComPort*>(this)->RaiseError(
        toolkit::CallerMistake("Can't perform this operation on an open port", "change the port"));
  }
}

// Errors.

void TCustomComPort::RaiseError(const toolkit::Error& cause) {
  EComError error(cause);
  TComAction action = caFail;
  if (onError_) onError_(this, error, action);
  if (action == caAbort) throw toolkit::EAbort();
  throw error;
}

void TCustomComPort::Check(const toolkit::Error& error) {
  if (error) RaiseError(error);
}

// Settings.

std::string TCustomComPort::About() const {
  return std::string("TComPort 1.0 (") + backend::PlatformName() + ")";
}
void TCustomComPort::SetAbout(const std::string& /*value*/) {}

void TCustomComPort::SetBaudRate(TBaudRate value) {
  if (value == baudRate_) return;
  baudRate_ = value;
  SetComDCB();
}

int TCustomComPort::CustomBaudRate() const {
  if (baudRate_ == brCustom) return FCustomBaudRate;
  return static_cast<int>(kRates[baudRate_]);
}

void TCustomComPort::SetCustomBaudRate(int value) {
  if (baudRate_ == brCustom && value == FCustomBaudRate) return;
  FCustomBaudRate = value;
  baudRate_ = brCustom;
  SetComDCB();
}

void TCustomComPort::SetDataBits(TDataBits value) {
  if (value == dataBits_) return;
  dataBits_ = value;
  SetComDCB();
}

void TCustomComPort::SetDeviceName(const std::string& value) {
  if (value == deviceName_) return;
  CheckInactive();
  deviceName_ = value;
}

std::string TCustomComPort::ShortDeviceName() const {
  static const std::string kPrefix = "\\\\.\\";
  if (deviceName_.compare(0, kPrefix.size(), kPrefix) == 0) return deviceName_.substr(4);
  return deviceName_;
}

void TCustomComPort::SetLogFile(const std::string& value) {
  logFile_ = value;
}

void TCustomComPort::SetOptions(TOptions value) {
  if (value == options_) return;
  options_ = value;
  SetComDCB();
}

void TCustomComPort::SetParity(TParity value) {
  if (value == parity_) return;
  parity_ = value;
  SetComDCB();
}

void TCustomComPort::SetPriorityClass(TPriorityClass value) {
  if (value == priorityClass_) return;
  CheckInactive();
  priorityClass_ = value;
}

void TCustomComPort::SetStopBits(TStopBits value) {
  if (value == stopBits_) return;
  stopBits_ = value;
  SetComDCB();
}

void TCustomComPort::SetSynchronizeEvents(bool value) {
  if (value == synchronizeEvents_) return;
  CheckInactive();
  synchronizeEvents_ = value;
}

void TCustomComPort::SetThreadPriority(TThreadPriority value) {
  if (value == threadPriority_) return;
  threadPriority_ = value;
  if (FThread != nullptr) FThread->SetPriority(value);
}

// The device-control record.

void TCustomComPort::CopyDCB(TDcb& dcb, bool toDcb) {
  if (!toDcb) {
    CopyDCBFrom(dcb);
    return;
  }
  if (baudRate_ != brDefault) dcb.BaudRate = static_cast<std::uint32_t>(CustomBaudRate());
  if (dataBits_ != dbDefault) dcb.ByteSize = kByteSizes[dataBits_];
  if (parity_ != paDefault) dcb.Parity = kParities[parity_];
  if (stopBits_ != sbDefault) dcb.StopBits = kStopBits[stopBits_];
  dcb.XonChar = characters_->XOn();
  dcb.XoffChar = characters_->XOff();
  dcb.ErrorChar = characters_->Error();
  dcb.EofChar = characters_->Eof();
  dcb.EvtChar = characters_->Event();
  const TFlowControl& flow = *flowControl_;
  if (flow.DTR() != dcDefault) ReplaceBits(dcb.Flags, dcb::fDtrControlMask, kDtr[flow.DTR()]);
  if (flow.RTS() != rcDefault) ReplaceBits(dcb.Flags, dcb::fRtsControlMask, kRts[flow.RTS()]);
  if (flow.XOnXOff() != xcDefault) {
    ReplaceBits(dcb.Flags, kXOnXOffMask, kXOnXOff[flow.XOnXOff()]);
  }
  dcb.XonLim = flow.XOnLimit();
  dcb.XoffLim = flow.XOffLimit();
  for (int option = opCheckParity; option <= opAbortOnError; ++option) {
    const bool on = options_.Contains(static_cast<TOption>(option));
    ReplaceBits(dcb.Flags, kOptionFlags[option], on ? kOptionFlags[option] : 0);
  }
  dcb.Flags |= dcb::fBinary;
}

void TCustomComPort::CopyDCBFrom(const TDcb& dcb) {
  SetCustomBaudRate(static_cast<int>(dcb.BaudRate));
  dataBits_ = MemberOf(kByteSizes, dcb.ByteSize, dataBits_);
  parity_ = MemberOf(kParities, dcb.Parity, parity_);
  stopBits_ = MemberOf(kStopBits, dcb.StopBits, stopBits_);
  TFlowControl& flow = *flowControl_;
  flow.dtr_ = MemberOf(kDtr, dcb.Flags & dcb::fDtrControlMask, flow.dtr_);
  flow.rts_ = MemberOf(kRts, dcb.Flags & dcb::fRtsControlMask, flow.rts_);
  flow.xOnXOff_ = MemberOf(kXOnXOff, dcb.Flags & kXOnXOffMask, flow.xOnXOff_);
  characters_->SetXOn(dcb.XonChar);
  characters_->SetXOff(dcb.XoffChar);
  characters_->SetError(dcb.ErrorChar);
  characters_->SetEof(dcb.EofChar);
  characters_->SetEvent(dcb.EvtChar);
  flow.SetXOnLimit(dcb.XonLim);
  flow.SetXOffLimit(dcb.XoffLim);
  for (int option = opCheckParity; option <= opAbortOnError; ++option) {
    const auto member = static_cast<TOption>(option);
    if ((dcb.Flags & kOptionFlags[option]) != 0) {
      options_.Include(member);
    } else {
      options_.Exclude(member);
    }
  }
}

void TCustomComPort::SetComDCB() {
  if (!Applies()) return;
  TDcb dcb;
  Check(FHandle->GetState(dcb));
  CopyDCB(dcb, true);
  Check(FHandle->SetState(dcb));
}

void TCustomComPort::SetComBufferSizes() {
  if (!Applies()) return;
  Check(FHandle->SetupQueues(static_cast<std::uint32_t>(bufferSizes_->Input()),
                             static_cast<std::uint32_t>(bufferSizes_->Output())));
}

void TCustomComPort::SetComTimeouts() {
  if (!Applies()) return;
  TCommTimeouts t;
  Check(FHandle->GetTimeouts(t));
  t.ReadIntervalTimeout = static_cast<std::uint32_t>(timeouts_->ReadInterval());
  t.ReadTotalTimeoutMultiplier = static_cast<std::uint32_t>(timeouts_->ReadMultiplier());
  t.ReadTotalTimeoutConstant = static_cast<std::uint32_t>(timeouts_->ReadConstant());
  t.WriteTotalTimeoutMultiplier = static_cast<std::uint32_t>(timeouts_->WriteMultiplier());
  t.WriteTotalTimeoutConstant = static_cast<std::uint32_t>(timeouts_->WriteConstant());
  Check(FHandle->SetTimeouts(t));
}

}  // namespace comport
