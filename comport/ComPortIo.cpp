// Reading, writing, queues and line control.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include "comport/ComPort.h"
#include "toolkit/Utf.h"

namespace comport {
namespace {

constexpr std::pair<TLineError, std::uint32_t> kLineErrorFlags[] = {
    {leBreak, 0x0010},      {leDeviceNotSelected, 0x0800},
    {leFrame, 0x0008},      {leIO, 0x0400},
    {leMode, 0x8000},       {leOutOfPaper, 0x1000},
    {leOverrun, 0x0002},    {leDeviceTimeOut, 0x0200},
    {leRxOverflow, 0x0001}, {leParity, 0x0004},
    {leTxFull, 0x0100},
};

toolkit::Error NegativeCount(const char* op) {
  return toolkit::CallerMistake("Can't transfer a negative number of bytes", op);
}

}  // namespace

// The two requests.

void TCustomComPort::Read(void* buffer, int count, bool waitOnCompletion) {
  CheckActive();
  if (count < 0) RaiseError(NegativeCount("read"));
  if (beforeRead_) beforeRead_(this, buffer, count, waitOnCompletion);
  WaitForReadCompletion();
  FReadCount = count;
  FReadBuffer = buffer;
  if (count != 0) {
    if (Log()) WriteLog("Read request " + std::to_string(count) + " byte(s)");
    StartRequest(FReadCount, FHandle->StartRead(buffer, static_cast<std::size_t>(count)));
    if (waitOnCompletion) WaitForReadCompletion();
  }
  if (afterRead_) afterRead_(this, buffer, count, waitOnCompletion);
}

void TCustomComPort::Write(const void* buffer, int count, bool waitOnCompletion) {
  CheckActive();
  if (count < 0) RaiseError(NegativeCount("write"));
  if (beforeWrite_) beforeWrite_(this, buffer, count, waitOnCompletion);
  WaitForWriteCompletion();
  FWriteCount = count;
  FWriteBuffer = buffer;
  if (count != 0) {
    if (Log()) WriteLog("Write request ", buffer, count);
    if (waitOnCompletion) {
      StartRequest(FWriteCount, FHandle->StartWrite(buffer, static_cast<std::size_t>(count)));
      WaitForWriteCompletion();
    } else {
      const auto* bytes = static_cast<const std::uint8_t*>(buffer);
      FWriteCopy.assign(bytes, bytes + count);
      FWriteBuffer = FWriteCopy.data();
      StartRequest(FWriteCount, FHandle->StartWrite(FWriteCopy.data(), FWriteCopy.size()));
    }
  }
  if (afterWrite_) afterWrite_(this, buffer, count, waitOnCompletion);
}

// A request the device refused never runs: nothing is left for a completion wait to log.
void TCustomComPort::StartRequest(int& count, const toolkit::Error& started) {
  if (started) count = 0;
  Check(started);
}

void TCustomComPort::WaitForReadCompletion() {
  WaitForCompletion(true);
}
void TCustomComPort::WaitForWriteCompletion() {
  WaitForCompletion(false);
}

// Only a request that was still running is held to its count; one that had ended is not, but its
// error is reported all the same, once. The request is over whatever comes of the wait, so its
// count goes at once: a later wait must not log its bytes from a buffer that may have gone since.
void TCustomComPort::WaitForCompletion(bool read) {
  const int expected = std::exchange(read ? FReadCount : FWriteCount, 0);
  const void* buffer = read ? FReadBuffer : FWriteBuffer;
  const char* completeText = read ? "Read complete " : "Write complete ";
  // What did arrive or leave is in the buffer: the log shows that much, never the rest of it.
  int done = expected;
  if (FHandle != nullptr) {
    const bool pending = read ? FHandle->ReadPending() : FHandle->WritePending();
    std::size_t transferred = 0;
    Check(read ? FHandle->WaitRead(transferred) : FHandle->WaitWrite(transferred));
    done = static_cast<int>(std::min(transferred, static_cast<std::size_t>(expected)));
    if (pending && transferred != static_cast<std::size_t>(expected)) {
      if (Log() && done > 0) WriteLog(completeText, buffer, done);
      RaiseError(toolkit::Error{toolkit::ErrorKind::TimedOut, 0, "Timeout",
                                read ? "complete the read" : "complete the write"});
    }
  }
  CheckLineErrors();
  if (Log() && done != 0) WriteLog(completeText, buffer, done);
}

bool TCustomComPort::ReadPending() {
  return FHandle != nullptr && FHandle->ReadPending();
}
bool TCustomComPort::WritePending() {
  return FHandle != nullptr && FHandle->WritePending();
}

// Queue counts and line errors.

int TCustomComPort::InputCount() {
  return static_cast<int>(QueueStatus(queue::Input).inQueue);
}

int TCustomComPort::OutputCount() {
  return static_cast<int>(QueueStatus(queue::Output).outQueue);
}

// No open check first: on a closed port the platform's own error for an invalid handle comes, a
// caller mistake all the same.
TComStat TCustomComPort::QueueStatus(std::uint32_t queues) {
  TComStat stat;
  Check(FHandle != nullptr ? FHandle->ClearErrors(stat, queues) : NotOpenError("count the queues"));
  if (stat.errors != 0 && onLineError_) onLineError_(this, GetLineErrors(stat.errors));
  return stat;
}

void TCustomComPort::CheckLineErrors() {
  CheckActive();
  TComStat stat;
  Check(FHandle->ClearErrors(stat, queue::None));
  if (stat.errors != 0 && onLineError_) onLineError_(this, GetLineErrors(stat.errors));
}

void TCustomComPort::ClearLineErrors() {
  CheckActive();
  TComStat stat;
  Check(FHandle->ClearErrors(stat, queue::None));
}

TLineErrors TCustomComPort::GetLineErrors(std::uint32_t errorWord) {
  TLineErrors errors;
  for (const auto& [member, flag] : kLineErrorFlags) {
    if ((errorWord & flag) != 0) errors.Include(member);
  }
  return errors;
}

// Typed reads and writes. A single-value reader whose request ended short (time-outs that return
// at once) returns the bytes that came, the rest zero.

char TCustomComPort::ReadChar() {
  char value = 0;
  Read(&value, 1, true);
  return value;
}

std::uint8_t TCustomComPort::ReadByte() {
  std::uint8_t value = 0;
  Read(&value, 1, true);
  return value;
}

std::uint16_t TCustomComPort::ReadWord() {
  std::uint16_t value = 0;
  Read(&value, sizeof value, true);
  return value;
}

std::uint32_t TCustomComPort::ReadDWord() {
  std::uint32_t value = 0;
  Read(&value, sizeof value, true);
  return value;
}

void TCustomComPort::WriteChar(char value) {
  Write(&value, 1, false);
}
void TCustomComPort::WriteByte(std::uint8_t value) {
  Write(&value, 1, false);
}
void TCustomComPort::WriteWord(std::uint16_t value) {
  Write(&value, sizeof value, false);
}
void TCustomComPort::WriteDWord(std::uint32_t value) {
  Write(&value, sizeof value, false);
}

std::string TCustomComPort::ReadString() {
  WaitForReadCompletion();
  std::string text(static_cast<std::size_t>(InputCount()), '\0');
  Read(text.empty() ? nullptr : text.data(), static_cast<int>(text.size()), true);
  return text;
}

TBytes TCustomComPort::ReadBytes() {
  TBytes bytes(static_cast<std::size_t>(InputCount()));
  Read(bytes.empty() ? nullptr : bytes.data(), static_cast<int>(bytes.size()), true);
  return bytes;
}

std::u16string TCustomComPort::ReadUtf8() {
  return toolkit::Utf8ToUtf16(ReadAnsiString());
}

// A request counts its bytes in an int: a longer text is refused, never cut short.
int TCustomComPort::RequestCount(std::size_t size) {
  if (size > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    RaiseError(
        toolkit::CallerMistake("Can't transfer more than 2147483647 bytes at once", "write"));
  }
  return static_cast<int>(size);
}

void TCustomComPort::WriteString(const std::string& value) {
  Write(value.data(), RequestCount(value.size()), false);
}

void TCustomComPort::WriteBytes(const TBytes& value) {
  Write(value.data(), RequestCount(value.size()), false);
}

void TCustomComPort::WriteUtf8(const std::u16string& value) {
  WriteAnsiString(toolkit::Utf16ToUtf8(value));
}

std::string TCustomComPort::ReadUntil(char terminator) {
  std::string text;
  for (;;) {
    const char c = ReadChar();
    text += c;
    if (c == terminator) return text;
  }
}

TBytes TCustomComPort::ReadUntilBytes(std::uint8_t terminator) {
  TBytes bytes;
  for (;;) {
    const std::uint8_t b = ReadByte();
    bytes.push_back(b);
    if (b == terminator) return bytes;
  }
}

std::u16string TCustomComPort::ReadUntilUtf8(std::uint8_t terminator) {
  return toolkit::Utf8ToUtf16(ReadAnsiUntil(static_cast<char>(terminator)));
}

void TCustomComPort::WriteLine(const std::string& value) {
  WriteString(value);
  WriteChar('\r');
}

void TCustomComPort::WriteLineBytes(const TBytes& value) {
  WriteBytes(value);
  WriteAnsiChar('\r');
}

void TCustomComPort::WriteLineUtf8(const std::u16string& value) {
  WriteUtf8(value);
  WriteAnsiChar('\r');
}

// Queues.

void TCustomComPort::PurgeInput() {
  if (FHandle == nullptr) return;
  Check(FHandle->Purge(PurgeFlags(TPurge::AbortInput) | PurgeFlags(TPurge::ClearInput)));
}

void TCustomComPort::PurgeOutput() {
  if (FHandle == nullptr) return;
  Check(FHandle->Purge(PurgeFlags(TPurge::AbortOutput) | PurgeFlags(TPurge::ClearOutput)));
}

void TCustomComPort::ClearInput() {
  if (FHandle != nullptr) Check(FHandle->Purge(PurgeFlags(TPurge::ClearInput)));
}

void TCustomComPort::ClearOutput() {
  if (FHandle != nullptr) Check(FHandle->Purge(PurgeFlags(TPurge::ClearOutput)));
}

void TCustomComPort::AbortInput() {
  if (FHandle != nullptr) Check(FHandle->Purge(PurgeFlags(TPurge::AbortInput)));
}

void TCustomComPort::AbortOutput() {
  if (FHandle != nullptr) Check(FHandle->Purge(PurgeFlags(TPurge::AbortOutput)));
}

void TCustomComPort::Flush() {
  if (FHandle != nullptr) Check(FHandle->Drain());
}

// Line control.

void TCustomComPort::LineControl(TLineControl function) {
  CheckActive();
  Check(FHandle->Escape(function));
}

void TCustomComPort::TransmitChar(char value) {
  CheckActive();
  Check(FHandle->TransmitChar(value));
}

void TCustomComPort::SetBreak() {
  CheckActive();
  Check(FHandle->SetBreak(true));
}

void TCustomComPort::ClearBreak() {
  CheckActive();
  Check(FHandle->SetBreak(false));
}

void TCustomComPort::SetDTR() {
  LineControl(TLineControl::SetDtr);
}
void TCustomComPort::ClearDTR() {
  LineControl(TLineControl::ClearDtr);
}
void TCustomComPort::SetRTS() {
  LineControl(TLineControl::SetRts);
}
void TCustomComPort::ClearRTS() {
  LineControl(TLineControl::ClearRts);
}
void TCustomComPort::SetXOn() {
  LineControl(TLineControl::SetXOn);
}
void TCustomComPort::SetXOff() {
  LineControl(TLineControl::SetXOff);
}
void TCustomComPort::ResetDevice() {
  LineControl(TLineControl::ResetDev);
}

TModemStatus TCustomComPort::ModemStatus() {
  if (Designing()) return {};
  CheckActive();
  std::uint32_t status = 0;
  Check(FHandle->GetModemStatus(status));
  TModemStatus result;
  if ((status & ms::Cts) != 0) result.Include(msCTS);
  if ((status & ms::Dsr) != 0) result.Include(msDSR);
  if ((status & ms::Ring) != 0) result.Include(msRing);
  if ((status & ms::Rlsd) != 0) result.Include(msRLSD);
  return result;
}

}  // namespace comport
